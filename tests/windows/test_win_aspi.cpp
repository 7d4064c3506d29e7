// The ASPI transport: loading and checking the layer, the SRB_ExecSCSICmd
// request with its event, the wait and its time-out, and taking back a request
// that does not end, with the layer stood in for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "tests/ResultContract.h"
#include "tests/windows/WinSupport.h"

namespace {

class CountingSink : public MessageSink {
 public:
  std::vector<std::string> Plain, Errors;
  void ShowMessage(const std::string& text) override { Plain.push_back(text); }
  void ShowErrorMessage(const std::string& text) override { Errors.push_back(text); }
};

struct SetupCase {
  const char* name;
  bool loads, hasSupportInfo, hasSend;
  DWORD supportInfo;
  std::uint8_t want;
  int frees;
  bool loaded;
};

const SetupCase kSetups[] = {
    {"ready", true, true, true, 0x0100, dsOk, 0, true},
    {"adapter count in bits 0 to 7 plays no part", true, true, true, 0x01FF, dsOk, 0, true},
    {"library missing", false, true, true, 0x0100, dsAspiNotLoaded, 0, false},
    {"no GetASPI32SupportInfo", true, false, true, 0x0100, dsAspiEntryMissing, 1, false},
    {"no adapters (SS_NO_ADAPTERS)", true, true, true, 0xE800, dsAspiNotReady, 1, false},
    {"status other than SS_COMP", true, true, true, 0x0001, dsAspiNotReady, 1, false},
    {"no SendASPI32Command", true, true, false, 0x0100, dsAspiEntryMissing, 1, false},
};

TEST(AspiSetup, LoadsAndChecksTheLayer) {
  for (const SetupCase& c : kSetups) {
    SCOPED_TRACE(c.name);
    SystemStandIns standIns;
    Fake().LibraryLoads = c.loads;
    Fake().HasSupportInfo = c.hasSupportInfo;
    Fake().HasSend = c.hasSend;
    Fake().SupportInfo = c.supportInfo;
    CountingSink sink;
    AspiTransport transport;
    EXPECT_EQ(transport.Setup(sink), c.want);
    EXPECT_EQ(Fake().Loads, std::vector<std::string>{"WNASPI32.DLL"});
    EXPECT_EQ(Fake().Frees, c.frees);
    EXPECT_EQ(transport.Loaded(), c.loaded);
    EXPECT_TRUE(sink.Plain.empty());
    if (c.want == dsAspiNotLoaded) {
      ASSERT_EQ(sink.Errors.size(), 1u);
      EXPECT_EQ(sink.Errors[0],
                "Unable to load WNASPI32.DLL !\n"
                "You can down the DLL from http://www.example.com/aspi\n"
                " and copy the DLL to system directory.\n"
                "\n");
    } else {
      EXPECT_TRUE(sink.Errors.empty());
    }
  }
}

TEST(AspiSetup, EverySetupHoldsOneReferenceAndReleaseLetsGo) {
  SystemStandIns standIns;
  CountingSink sink;
  {
    AspiTransport transport;
    EXPECT_EQ(transport.Setup(sink), dsOk);
    EXPECT_EQ(transport.Setup(sink), dsOk);  // again while loaded
    EXPECT_EQ(Fake().Loads.size(), 2u);
    EXPECT_EQ(Fake().Frees, 1);
    transport.ReleaseLayer();
    EXPECT_EQ(Fake().Frees, 2);
    EXPECT_FALSE(transport.Loaded());
    EXPECT_EQ(transport.Setup(sink), dsOk);
  }
  EXPECT_EQ(Fake().Frees, 3);  // a transport that goes releases its layer
}

TEST(AspiEnumeration, TwentyAdaptersTimesTwoTargetsInOrder) {
  AspiTransport transport;
  const std::vector<DriveAddress> addresses = transport.Enumerate();
  ASSERT_EQ(addresses.size(), 40u);
  for (std::size_t i = 0; i < addresses.size(); ++i) {
    EXPECT_EQ(addresses[i].HaId, i / 2);
    EXPECT_EQ(addresses[i].Target, i % 2);
    EXPECT_EQ(addresses[i].Lun, 0);
    EXPECT_EQ(addresses[i].Letter, ' ');
  }
  EXPECT_FALSE(transport.OpensDevices());
}

// A transport with the stood-in layer loaded.
struct LoadedAspi {
  SystemStandIns standIns;
  CountingSink sink;
  AspiTransport transport;
  std::uint8_t data[64] = {};
  LoadedAspi() { EXPECT_EQ(transport.Setup(sink), dsOk); }
  CommandResult Run(bool dataIn = true, std::uint32_t length = 36, std::uint16_t timeout = 60,
                    DriveAddress address = {' ', 2, 1, 0, {}}) {
    CommandRequest request;
    for (int i = 0; i < 12; ++i) request.Cdb[i] = static_cast<std::uint8_t>(0x10 + i);
    request.DataIn = dataIn;
    request.Length = length;
    request.Data = data;
    request.TimeoutSeconds = timeout;
    return transport.Execute(kNoDevice, address, request);
  }
};

struct SrbCase {
  const char* name;
  bool dataIn;
  std::uint32_t length;
  std::uint16_t timeout;
  DriveAddress address;
  BYTE flags;
};

const SrbCase kSrbs[] = {
    {"drive to host", true, 36, 60, {' ', 2, 1, 0, {}}, 0x48},
    {"host to drive", false, 16384, 180, {' ', 19, 0, 0, {}}, 0x50},
    {"no data", true, 0, 60, {' ', 0, 1, 0, {}}, 0x48},
    {"the LUN always goes as 0", true, 8, 1, {' ', 1, 1, 3, {}}, 0x48},
};

TEST(AspiRequest, OneEventNotifyingBlockPerCommand) {
  for (const SrbCase& c : kSrbs) {
    SCOPED_TRACE(c.name);
    LoadedAspi aspi;
    Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_PENDING; };
    aspi.Run(c.dataIn, c.length, c.timeout, c.address);

    ASSERT_EQ(Fake().EventsCreated, 1);
    EXPECT_FALSE(Fake().EventAttributes[0]);
    EXPECT_FALSE(Fake().EventManualReset[0]);
    EXPECT_FALSE(Fake().EventInitialState[0]);
    EXPECT_FALSE(Fake().EventNamed[0]);
    const HANDLE event = Fake().Events[0];

    ASSERT_EQ(Fake().AspiCalls.size(), 1u);
    const SRB_ExecSCSICmd& srb = Fake().AspiCalls[0].Sent;
    EXPECT_EQ(srb.SRB_Cmd, SC_EXEC_SCSI_CMD);
    EXPECT_EQ(srb.SRB_Status, 0);
    EXPECT_EQ(srb.SRB_HaId, c.address.HaId);
    EXPECT_EQ(srb.SRB_Flags, c.flags);
    EXPECT_EQ(srb.SRB_Hdr_Rsvd, 0u);
    EXPECT_EQ(srb.SRB_Target, c.address.Target);
    EXPECT_EQ(srb.SRB_Lun, 0);
    EXPECT_EQ(srb.SRB_BufLen, c.length);
    EXPECT_EQ(srb.SRB_BufPointer, aspi.data);
    EXPECT_EQ(srb.SRB_SenseLen, 14);
    EXPECT_EQ(srb.SRB_CDBLen, 12);
    EXPECT_EQ(srb.SRB_HaStat, 0);
    EXPECT_EQ(srb.SRB_TargStat, 0);
    EXPECT_EQ(srb.SRB_PostProc, event);
    EXPECT_EQ(srb.SRB_Rsvd2, nullptr);
    for (BYTE reserved : srb.SRB_Rsvd3) EXPECT_EQ(reserved, 0);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(srb.CDBByte[i], 0x10 + i);
    for (int i = 12; i < 16; ++i) EXPECT_EQ(srb.CDBByte[i], 0);

    ASSERT_EQ(Fake().Waits.size(), 1u);
    EXPECT_EQ(Fake().Waits[0].first, event);
    EXPECT_EQ(Fake().Waits[0].second, c.timeout * 1000u);
    EXPECT_EQ(Fake().Resets, std::vector<HANDLE>{event});
    EXPECT_EQ(Fake().Closed, std::vector<HANDLE>{event});
  }
}

TEST(AspiRequest, LayoutOfTheBlocks) {
  // Byte-packed as the layer reads them, with three pointers (buffer, event,
  // reserved): 80 bytes in the 32-bit build, 92 in the 64-bit one.
  constexpr std::size_t P = sizeof(void*);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, SRB_BufLen), 12u);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, SRB_BufPointer), 16u);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, SRB_SenseLen), 16u + P);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, SRB_PostProc), 20u + P);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, CDBByte), 36u + 3 * P);
  EXPECT_EQ(offsetof(SRB_ExecSCSICmd, SenseArea), 52u + 3 * P);
  EXPECT_EQ(sizeof(SRB_ExecSCSICmd), 68u + 3 * P);
  EXPECT_EQ(sizeof(SRB_ExecSCSICmd::SenseArea), 16u);
  EXPECT_EQ(offsetof(SRB_Abort, SRB_ToAbort), 8u);
}

struct CompletionCase {
  const char* name;
  BYTE syncStatus;  // the status the layer leaves when the call returns
  BYTE finalStatus;
  std::uint8_t key, asc, ascq;
  DWORD waitOutcome;
  int waits, resets;
  bool accepted;
};

const CompletionCase kCompletions[] = {
    {"done at once: no wait", SS_COMP, SS_COMP, 0, 0, 0, WAIT_OBJECT_0, 0, 0, true},
    {"done later: wait, reset", SS_PENDING, SS_COMP, 0, 0, 0, WAIT_OBJECT_0, 1, 1, true},
    {"error with sense", SS_PENDING, 0x04, 0x02, 0x3A, 0x00, WAIT_OBJECT_0, 1, 1, false},
    {"good status but sense key set", SS_COMP, SS_COMP, 0x06, 0x29, 0x00, WAIT_OBJECT_0, 0, 0, true},
    {"error without sense", SS_COMP, 0x04, 0, 0, 0, WAIT_OBJECT_0, 0, 0, false},
};

TEST(AspiResult, StatusAndSenseOfTheFinishedRequest) {
  for (const CompletionCase& c : kCompletions) {
    SCOPED_TRACE(c.name);
    LoadedAspi aspi;
    auto finish = [&c](SRB_ExecSCSICmd& srb) {
      srb.SRB_Status = c.finalStatus;
      srb.SenseArea[2] = c.key;
      srb.SenseArea[12] = c.asc;
      srb.SenseArea[13] = c.ascq;
    };
    Fake().Layer = [&c, finish](SRB_ExecSCSICmd& srb) {
      if (c.syncStatus == SS_PENDING) {
        srb.SRB_Status = SS_PENDING;
      } else {
        finish(srb);
      }
    };
    Fake().Complete = finish;
    Fake().WaitOutcomes = {c.waitOutcome};
    const CommandResult result = aspi.Run();
    EXPECT_EQ(result.Completed, c.accepted);
    EXPECT_EQ(result.Status, c.finalStatus);
    EXPECT_EQ(SenseByte(result, 2), c.key);
    EXPECT_EQ(SenseByte(result, 12), c.asc);
    EXPECT_EQ(SenseByte(result, 13), c.ascq);
    EXPECT_EQ(static_cast<int>(Fake().Waits.size()), c.waits);
    EXPECT_EQ(static_cast<int>(Fake().Resets.size()), c.resets);
    EXPECT_EQ(Fake().Closed.size(), 1u);
  }
}

// The layer finishes a request with SS_COMP, or with SS_ERR and the target's
// status when the drive answered otherwise; a failure of the adapter shows in its
// own status. It gives no residual.
TEST(AspiResult, KeepsTheResultContract) {
  SystemStandIns standIns;
  AspiTransport transport;
  const RawOutcome* current = nullptr;
  Fake().Layer = [&current](SRB_ExecSCSICmd& srb) {
    if (srb.CDBByte[0] == 0x12) {
      std::memcpy(srb.SRB_BufPointer, kContractInquiry, kContractInquiryLength);
      srb.SRB_Status = SS_COMP;
      return;
    }
    if (!current->Completed) {
      srb.SRB_Status = SS_ERR;
      srb.SRB_HaStat = 0x11;  // selection time-out
      return;
    }
    srb.SRB_Status = current->ScsiStatus == 0 ? SS_COMP : SS_ERR;
    srb.SRB_TargStat = current->ScsiStatus;
    std::memcpy(srb.SenseArea, current->Sense.data(),
                std::min<std::size_t>(current->Sense.size(), SENSE_LEN));
  };
  CheckResultContract(
      transport, {' ', 0, 0, 0, {}}, [&current](const RawOutcome& row) { current = &row; }, false);
}

TEST(AspiTimeout, ARequestThatTimesOutIsAbortedBeforeItsEventIsClosed) {
  LoadedAspi aspi;
  Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_PENDING; };
  Fake().WaitOutcomes = {WAIT_TIMEOUT};
  Fake().OnAbort = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = 0x02; };  // SS_ABORTED at once
  const void* block = &aspi.transport.Block();
  const CommandResult result = aspi.Run(true, 36, 7);

  ASSERT_EQ(Fake().AspiCalls.size(), 2u);
  const AspiCall& abort = Fake().AspiCalls[1];
  EXPECT_TRUE(abort.Abort);
  EXPECT_EQ(abort.AbortSent.SRB_Cmd, SC_ABORT_SRB);
  EXPECT_EQ(abort.AbortSent.SRB_HaId, 2);
  EXPECT_EQ(abort.AbortSent.SRB_ToAbort, block);
  // Its status says aborted at once; its event is closed only once the layer has
  // signalled it (at once here).
  ASSERT_EQ(Fake().Waits.size(), 2u);
  EXPECT_EQ(Fake().Waits[1].second, kAspiAbortWaitMilliseconds);
  EXPECT_EQ(Fake().Closed.size(), 1u);
  EXPECT_FALSE(result.Completed);
  EXPECT_EQ(result.Status, 0x02);
  EXPECT_FALSE(aspi.transport.Stuck());
}

TEST(AspiTimeout, AnAbortedRequestIsWaitedForUntilItLeaves) {
  LoadedAspi aspi;
  Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_PENDING; };
  Fake().OnAbort = [](SRB_ExecSCSICmd&) {};  // still pending after the abort call
  Fake().Complete = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = 0x02; };
  Fake().WaitOutcomes = {WAIT_TIMEOUT, WAIT_OBJECT_0};
  const CommandResult result = aspi.Run();
  ASSERT_EQ(Fake().Waits.size(), 2u);
  EXPECT_EQ(Fake().Waits[1].second, kAspiAbortWaitMilliseconds);
  EXPECT_EQ(Fake().Closed.size(), 1u);
  EXPECT_FALSE(result.Completed);
  EXPECT_FALSE(aspi.transport.Stuck());

  // The block is free again: the next command runs normally in it.
  Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_COMP; };
  EXPECT_TRUE(aspi.Run().Completed);
}

struct LateCase {
  const char* name;
  bool finishesAsTheWaitGivesUp;  // else it is still pending and is aborted
  DWORD signal;                   // the wait for the layer to let the request go
  bool released;
  bool accepted;
  BYTE status;
};

const LateCase kLate[] = {
    {"finished as the wait gave up, then signalled", true, WAIT_OBJECT_0, true, true, SS_COMP},
    {"finished as the wait gave up, never signalled", true, WAIT_TIMEOUT, false, false, SS_PENDING},
    {"aborted at once, never signalled", false, WAIT_TIMEOUT, false, false, SS_PENDING},
};

TEST(AspiTimeout, AfterATimeOutTheRequestIsTheLayersUntilItSignalsItsEvent) {
  // The layer sets the status first and signals the event last, reading it from
  // the block: a block filled again or an event closed in between would have
  // the layer signal the next command's event, or a closed handle.
  for (const LateCase& c : kLate) {
    SCOPED_TRACE(c.name);
    LoadedAspi aspi;
    Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_PENDING; };
    Fake().AtTimeout = [&c](SRB_ExecSCSICmd& srb) {
      if (c.finishesAsTheWaitGivesUp) srb.SRB_Status = SS_COMP;
    };
    Fake().OnAbort = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = 0x02; };
    Fake().WaitOutcomes = {WAIT_TIMEOUT, c.signal};
    const SRB_ExecSCSICmd* block = &aspi.transport.Block();
    const CommandResult result = aspi.Run();

    std::size_t aborts = 0;
    for (const AspiCall& call : Fake().AspiCalls) aborts += call.Abort ? 1 : 0;
    EXPECT_EQ(aborts, c.finishesAsTheWaitGivesUp ? 0u : 1u);  // a finished request is not aborted
    ASSERT_EQ(Fake().Waits.size(), 2u);
    EXPECT_EQ(Fake().Waits[1].second, kAspiAbortWaitMilliseconds);
    EXPECT_EQ(Fake().Closed.size(), c.released ? 1u : 0u);
    EXPECT_EQ(aspi.transport.Stuck(), !c.released);
    EXPECT_EQ(&aspi.transport.Block() == block, c.released);
    EXPECT_EQ(result.Completed, c.accepted);
    EXPECT_EQ(result.Status, c.status);
  }
}

TEST(AspiTimeout, ARequestTheLayerKeepsIsNeverReusedClosedOrReleased) {
  LoadedAspi aspi;
  Fake().Layer = [](SRB_ExecSCSICmd& srb) { srb.SRB_Status = SS_PENDING; };
  Fake().OnAbort = [](SRB_ExecSCSICmd&) {};
  Fake().WaitOutcomes = {WAIT_TIMEOUT, WAIT_TIMEOUT};
  const SRB_ExecSCSICmd* kept = &aspi.transport.Block();
  const CommandResult result = aspi.Run();
  EXPECT_FALSE(result.Completed);
  EXPECT_EQ(result.Status, SS_PENDING);
  EXPECT_EQ(SenseByte(result, 2), 0);
  EXPECT_TRUE(Fake().Closed.empty());  // its event stays open for the layer
  EXPECT_TRUE(aspi.transport.Stuck());
  EXPECT_NE(&aspi.transport.Block(), kept);

  // Nothing more goes to the layer, and it is not released under the request.
  const std::size_t calls = Fake().AspiCalls.size();
  const CommandResult next = aspi.Run();
  EXPECT_FALSE(next.Completed);
  EXPECT_EQ(Fake().AspiCalls.size(), calls);
  aspi.transport.ReleaseLayer();
  EXPECT_EQ(Fake().Frees, 0);
  EXPECT_TRUE(aspi.transport.Loaded());
}

}  // namespace
