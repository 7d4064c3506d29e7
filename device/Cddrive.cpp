// Placeholder: the drive unit is built with the device access work.
#include "device/Cddrive.h"

namespace Cddrive {
namespace {
UnitState gUnit;
Transport* gTransport = nullptr;
MessageSink* gSink = nullptr;
}  // namespace

UnitState& Unit() { return gUnit; }
void ResetUnit() { gUnit = UnitState{}; }
void InstallTransport(Transport* transport) { gTransport = transport; }
Transport* InstalledTransport() { return gTransport; }
void SetMessageSink(MessageSink* sink) { gSink = sink; }

}  // namespace Cddrive
