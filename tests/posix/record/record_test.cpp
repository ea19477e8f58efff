// The run's record over the scripted host: the facts a run's events and the
// host's answers give, and the reports made from a record made by hand.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/posix/record/findings.h"
#include "platform/posix/record/recorder.h"
#include "platform/posix/record/report.h"
#include "platform/posix/record/run_ending.h"
#include "tests/support/script_host.h"
#include "ui/MorlitDlg.h"
#include "ui/texts.h"

namespace morlit::posix {
namespace {

using test::RegValue;
using test::ScriptHost;

// An XP target with its cabinet on partition 2, or without a source.
void AddXp(ScriptHost& sh, bool cabinet) {
    sh.AddDirectory(L"E:");
    sh.AddDirectory(L"E:\\Windows");
    sh.AddDirectory(L"E:\\Windows\\system32\\config");
    sh.AddFile(L"E:\\Windows\\system32\\config\\system", "hive");
    if (cabinet) sh.AddFile(L"E:\\Windows\\Driver Cache\\i386\\sp3.cab", "cabinet");
    sh.AddFile(L"C:\\Tools\\Dravmont.bin", "REGEDIT4\r\n");
    sh.AddFile(L"C:\\Tools\\Quessil.bin", "multi(0)disk(0)rdisk(0)partition(1)\\WINDOWS\r\n");
    sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegDword, {1, 0, 0, 0}};
    sh.arcPartition = 2;
}

struct ScriptedRun {
    ScriptHost sh;
    std::unique_ptr<RunRecorder> recorder;
    Findings found;
    void Start(bool check = false) {
        recorder = std::make_unique<RunRecorder>(sh.host);
        CMorlitDlg dlg(sh.host);
        dlg.m_strVhdPath = L"C:\\Images\\xp.vhd";
        dlg.OnBnClickedOk();
        found = Find(recorder->record(), *sh.host.files, check);
    }
    const RunRecord& record() const { return recorder->record(); }
};

TEST(RunRecord, AnAdjustedRunGivesItsTargetSourceHiveAndTemplateAsValues) {
    ScriptedRun run;
    AddXp(run.sh, true);
    run.Start();
    const RunRecord& r = run.record();
    ASSERT_TRUE(r.adjusted.has_value());
    EXPECT_TRUE(*r.adjusted);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0].id, IDS_ADJUST_DONE);
    EXPECT_FALSE(r.messages[0].question);
    EXPECT_EQ(r.steps, (std::vector<RunStep>{RunStep::kStarting, RunStep::kMounting,
                                             RunStep::kSearchingDrive, RunStep::kCopyingDrivers,
                                             RunStep::kAdjustingOs, RunStep::kFinishing}));
    ASSERT_TRUE(run.found.target);
    EXPECT_EQ(run.found.target->windowsDirectory, "E:\\Windows");
    EXPECT_TRUE(run.found.target->xp);
    EXPECT_EQ(run.found.target->bootIniPartition, 2u);
    ASSERT_TRUE(run.found.source);
    EXPECT_EQ(run.found.source->kind, Findings::SourceKind::kCabinet);
    EXPECT_EQ(run.found.source->path, "E:\\Windows\\Driver Cache\\i386\\sp3.cab");
    ASSERT_EQ(run.found.source->members.size(), 3u);
    EXPECT_EQ(run.found.source->members[1].name, "ntoskrnl.exe");
    EXPECT_EQ(run.found.source->members[2].destination, "E:\\Windows\\system32\\drivers");
    for (const auto& m : run.found.source->members)
        EXPECT_EQ(m.state, Findings::MemberState::kDecoded) << m.name;
    ASSERT_TRUE(run.found.hive);
    EXPECT_EQ(run.found.hive->state, HiveState::kClean);
    EXPECT_FALSE(run.found.hive->detail);
    EXPECT_EQ(run.found.templateImport.state, Findings::TemplateState::kImported);
}

// Where a run stops decides what the record holds: a failing member, a
// question answered Cancel, a hive whose control set cannot be read, a
// partition number the disk cannot give.
TEST(RunRecord, EachFailureIsRecordedWhereItIsKnown) {
    {
        ScriptedRun run;
        AddXp(run.sh, true);
        run.sh.onProcess = [&run](const ShellExecuteInfo& info) -> u32 {
            if (info.parameters.find(L"ntoskrnl") == std::wstring::npos) return 0;
            run.sh.host.events->Cause(CauseKind::kProgramFailed, "expand failed (2): no member");
            return 2;
        };
        run.Start(true);
        EXPECT_FALSE(run.record().adjusted.value_or(true));
        const auto& members = run.found.source->members;
        ASSERT_EQ(members.size(), 2u);
        EXPECT_EQ(members[1].state, Findings::MemberState::kFailed);
        EXPECT_EQ(members[1].reason, "expand failed (2): no member");
        EXPECT_EQ(members[1].exitCode, 2u);
        EXPECT_EQ(run.found.templateImport.state, Findings::TemplateState::kNotReached);
    }
    {
        ScriptedRun run;
        AddXp(run.sh, false);
        run.sh.answers = {kIdCancel};
        run.Start();
        ASSERT_EQ(run.record().messages.size(), 2u);
        EXPECT_EQ(run.record().messages[0].id, IDS_INSERT_CD);
        EXPECT_TRUE(run.record().messages[0].question);
        EXPECT_EQ(run.record().messages[0].answer, kIdCancel);
        const auto cause = EndingCause(run.record(), {"E: (NTFS, partition 1, 48 MB)"});
        ASSERT_TRUE(cause);
        EXPECT_EQ(cause->kind, CauseKind::kNoDriverSource);
        EXPECT_EQ(run.found.target->windowsDirectory, "E:\\Windows");
        EXPECT_FALSE(run.found.source);
    }
    {
        ScriptedRun run;
        AddXp(run.sh, true);
        run.sh.registryValues[L"VirtualPC\\Select"][L"Default"] = RegValue{kRegSz, {'2', 0}};
        run.Start();
        ASSERT_EQ(run.record().ShownCauses().size(), 1u);
        EXPECT_EQ(run.record().causes[0].kind, CauseKind::kBadHive);
        EXPECT_EQ(run.record().messages[0].id, IDS_REGISTRY_FAILED);
        EXPECT_TRUE(run.record().messages[0].hasCode);
        EXPECT_EQ(run.record().messages[0].code, 2u);
        EXPECT_FALSE(EndingCause(run.record(), {}));  // it named its own
    }
    {
        ScriptedRun run;
        AddXp(run.sh, true);
        run.sh.Fail("QueryArcPartitionNumber", err::kNotSupported, err::kNotSupported);
        run.Start();
        EXPECT_EQ(run.record().causes.at(0).kind, CauseKind::kPartitionNumber);
        EXPECT_TRUE(run.record().expands.empty());
        // Discovery named the target and its source before the refusal.
        ASSERT_TRUE(run.found.target);
        EXPECT_EQ(run.found.target->bootIniPartition, 0u);
        ASSERT_TRUE(run.found.source);
        EXPECT_EQ(run.found.source->kind, Findings::SourceKind::kCabinet);
        EXPECT_FALSE(run.found.source->listsMembers);
    }
}

// A record made by hand: absent values are null, a full disk is the first
// cause, causes dropped after a stop are not reported, and the text report
// says the same as the object.
TEST(RunReport, JsonAndTextAreRenderingsOfTheSameRecord) {
    RunRecord r;
    r.adjusted = false;
    RecordedMessage m;
    m.id = IDS_DETACH_FAILED;
    m.hasCode = true;
    m.code = err::kDiskFull;
    m.text = L"Could not unmount the VHD file. (112)";
    r.messages.push_back(m);
    r.steps = {RunStep::kStarting};
    const auto cause = [](CauseKind kind, const char* line, bool shown) {
        RecordedCause c;
        c.kind = kind;
        c.line = line;
        c.shown = shown;
        return c;
    };
    r.causes = {cause(CauseKind::kProgramFailed, "expand failed (1): hal.dll", true),
                cause(CauseKind::kWriteError, "a side effect", false),
                cause(CauseKind::kDiskFull, "the file system holding x.vhd is full", true)};
    r.warnings = {RecordedLine{"a note", true}};
    Report report;
    report.image = "x.vhd";
    report.record = &r;
    report.check = true;
    report.outcome = Outcome::kWouldFail;
    Findings::Hive hive;
    hive.file = "E:\\Windows\\system32\\config\\system";
    report.findings.hive = hive;
    const nlohmann::json j = ToJson(report);
    EXPECT_EQ(j["outcome"], "would fail");
    EXPECT_EQ(j["causes"],
              nlohmann::json::parse(
                  R"([{"kind":"disk full","text":"the file system holding x.vhd is full"},
                                   {"kind":"program failed","text":"expand failed (1): hal.dll"}])"));
    EXPECT_EQ(j["messages"][0]["code"], 112);
    EXPECT_TRUE(j["messages"][0]["answer"].is_null());
    EXPECT_TRUE(j["hive"]["detail"].is_null());
    EXPECT_TRUE(j["target"].is_null());
    EXPECT_TRUE(j["disk"].is_null());
    EXPECT_TRUE(j["boot_ini"].is_null());
    EXPECT_EQ(j["steps"], nlohmann::json::parse(R"(["starting"])"));
    std::ostringstream text;
    PrintCheck(report, text);
    EXPECT_EQ(text.str(),
              "x.vhd: would fail\n"
              "  hive: E:\\Windows\\system32\\config\\system, clean\n"
              "  template: not reached\n"
              "  message: Could not unmount the VHD file. (112)\n"
              "  cause: the file system holding x.vhd is full\n"
              "  cause: expand failed (1): hal.dll\n"
              "  note: a note\n");
}

}  // namespace
}  // namespace morlit::posix
