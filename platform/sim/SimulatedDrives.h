// Sets of simulated drives: the built-in set, a drive description file, and the
// set that the simulated-drive build of the program runs on.
//
// A drive description file is read through the INI reader. Section [drives] key
// "list" names the drives in their order (separated by blanks or commas); each
// drive has a section of its name (letters, digits, ".", "_", "-"). Keys of a
// drive section, all optional:
//
//   letter       = D            drive letter (empty: a blank); default D, E, F, ...
//   address      = 0:1:0        host adapter, target, LUN (0-255); default 0:<position>:0
//   vendor       = QVXR         INQUIRY vendor (8), product (16), revision (4), blank-padded
//   product      = CRW-5224A
//   revision     = 1000
//   inquiry      = 05 80 00 02  the INQUIRY data as sent, hex bytes (replaces the three above)
//   flashid      = BF D6        Read Flash ID manufacturer and device
//   variant      = 00 01        Read Flash ID bytes 2 and 3
//   readypolls   = 3            TEST UNIT READY polls answered "becoming ready"; -1 forever
//   openfails    = yes          opening the device fails ...
//   openerror    = 13           ... with this error number (default 2)
//   inquiryfails = yes          INQUIRY answers CHECK CONDITION 05 24 00
//   state        = cdrw.simstate  the drive's state file, in the description file's
//                               folder (default: <name>.simstate); an absolute
//                               path or one that leaves the folder is refused
//   fault1 ... fault32 = <kind> [<opcode>] [control=<hex>] [occurrence=<n>] [sense=<kk>:<aa>:<qq>]
//       kind: checkcondition, transportfailure, timeout, flipreadbit, dropwrite,
//       commitfailure (the only one without an opcode); opcode in hex
//
// Yes/no values: yes, no, true, false, on, off, 1, 0. Names match as the reader
// matches them (the Linux reader ignores letter case), so two drives whose names
// differ only in case are refused. Keys the reader cannot list are not checked:
// a misspelt key is simply absent.
#pragma once

#include <memory>
#include <string>

#include "common/IniReader.h"
#include "platform/sim/SimulatedDrive.h"

// The description file the simulated-drive build looks for.
inline constexpr char kSimDrivesFileName[] = "simdrives.ini";
inline constexpr char kSimStateExtension[] = ".simstate";

// The built-in set: "QVXR    CRW-5224A" 1000 (flash BF D6, variant 00 01) on D:,
// eligible for the sample flash program, and "QVXR    DVD-ROM 16X" 0103 (flash
// DA B5, variant 00 02) on E:, which is not.
std::unique_ptr<SimulatedTransport> MakeDefaultSimulatedDrives();

// The drives of a description file; null with the reason in error when the file
// cannot be read or holds a bad value. The drives keep no state file until told.
std::unique_ptr<SimulatedTransport> LoadSimulatedDrives(const std::string& descriptionPath, IniReader& reader,
                                                        std::string& error);
// The same; the reason is dropped.
std::unique_ptr<SimulatedTransport> LoadSimulatedDrives(const std::string& descriptionPath,
                                                        IniReader& reader);

// The set the simulated-drive build runs on: the description file "simdrives.ini"
// of the working directory, else the one beside the program file, else the
// built-in set. Every drive keeps its state in its state file (the built-in set's
// in "<name>.simstate" of the working directory), loaded now and saved after each
// commit. Null with the reason in error when a description or state file is bad.
std::unique_ptr<SimulatedTransport> MakeProgramSimulatedDrives(const std::string& programFilePath,
                                                               IniReaderFactory readers, std::string& error);
// The same, writing the reason to the standard error stream when it returns null.
std::unique_ptr<SimulatedTransport> MakeProgramSimulatedDrives(const std::string& programFilePath,
                                                               IniReaderFactory readers);
