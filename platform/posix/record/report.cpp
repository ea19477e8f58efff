#include "platform/posix/record/report.h"

#include <algorithm>
#include <cstdio>

#include "platform/constants.h"
#include "platform/utf8.h"

namespace morlit::posix {

namespace {

using nlohmann::json;

template <class T>
json OrNull(const std::optional<T>& value) {
    return value ? json(*value) : json(nullptr);
}

const char* AnswerName(int answer) {
    return answer == kIdOk       ? "ok"
           : answer == kIdCancel ? "cancel"
           : answer == kIdYes    ? "yes"
                                 : "no";
}

const char* JournalName(JournalEnd journal) {
    // In the order of the enum.
    static const char* const kNames[] = {"none", "committed", "put back", "played back at open",
                                         "kept"};
    return kNames[static_cast<size_t>(journal)];
}

json MessagesJson(const RunRecord& record) {
    json list = json::array();
    for (const RecordedMessage& m : record.messages) {
        list.push_back(
            {{"id", m.id ? json(m.id) : json(nullptr)},
             {"text", Utf8FromWide(m.text)},
             {"code", m.hasCode ? json(static_cast<std::int32_t>(m.code)) : json(nullptr)},
             {"answer", m.question ? json(AnswerName(m.answer)) : json(nullptr)}});
    }
    return list;
}

const char* TargetKindName(const Findings::Target& t) { return t.xp ? "XP or 2000" : "Vista or 7"; }

// A partition's type byte as fdisk shows it.
std::string TypeText(u8 type) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", type);
    return text;
}

json TargetJson(const std::optional<Findings::Target>& t) {
    if (!t) return nullptr;
    return {{"letter", t->letter},
            {"windows_directory", t->windowsDirectory},
            {"kind", TargetKindName(*t)},
            {"boot_ini_partition", t->bootIniPartition ? json(t->bootIniPartition) : json(nullptr)},
            {"kernel_version", OrNull(t->kernelVersion)}};
}

json SourceJson(const std::optional<Findings::Source>& s) {
    if (!s) return nullptr;
    json members = nullptr;
    if (s->listsMembers) {
        members = json::array();
        for (const Findings::Member& m : s->members) {
            members.push_back({{"name", m.name},
                               {"destination", OrNull(m.destination)},
                               {"state", MemberStateName(m.state)},
                               {"reason", OrNull(m.reason)},
                               {"exit_code", OrNull(m.exitCode)}});
        }
    }
    return {{"kind", SourceKindName(s->kind)},
            {"path", OrNull(s->path)},
            {"cd", s->cd},
            {"members", members}};
}

json PartitionsJson(const std::vector<PosixVirtualDisk::AttachedPartition>& partitions) {
    json list = json::array();
    for (const auto& p : partitions) {
        list.push_back(
            {{"number", p.number},
             {"type", TypeText(p.type)},
             {"offset", p.offset},
             {"size", p.length},
             {"letter",
              p.letter ? json(std::string(1, static_cast<char>(p.letter)) + ":") : json(nullptr)},
             {"file_system", p.fileSystem.empty() ? json(nullptr) : json(p.fileSystem)},
             {"state", PosixVirtualDisk::StateName(p.state)},
             {"reason", p.reason.empty() ? json(nullptr) : json(p.reason)}});
    }
    return list;
}

// A message's lines after the first stay indented under it.
std::string Indented(std::string value) {
    for (size_t at = value.find('\n'); at != std::string::npos; at = value.find('\n', at + 5))
        value.replace(at, 1, "\n    ");
    return value;
}

void PrintDisk(const DiskFacts& disk, std::ostream& out) {
    out << "  image: " << disk.format << ", " << disk.size << " bytes";
    if (disk.parent) out << ", parent " << *disk.parent;
    out << "\n";
    for (const auto& p : disk.partitions) {
        out << "  partition " << p.number << ": type " << TypeText(p.type) << ", " << p.length
            << " bytes at " << p.offset << ", ";
        if (p.letter) out << static_cast<char>(p.letter) << ": ";
        if (!p.fileSystem.empty()) out << p.fileSystem << ", ";
        out << PosixVirtualDisk::StateName(p.state);
        if (!p.reason.empty()) out << ": " << p.reason;
        out << "\n";
    }
}

void PrintFindings(const Findings& found, std::ostream& out) {
    if (const auto& t = found.target) {
        out << "  target: " << t->windowsDirectory << " (" << TargetKindName(*t);
        if (t->kernelVersion) out << ", kernel " << *t->kernelVersion;
        out << ")";
        if (t->bootIniPartition) out << ", Boot.ini partition " << t->bootIniPartition;
        out << "\n";
    }
    if (const auto& s = found.source) {
        out << "  driver source: " << SourceKindName(s->kind);
        if (s->path) out << " " << *s->path << (s->cd ? " (CD)" : "");
        out << "\n";
        for (const Findings::Member& m : s->members) {
            out << "  driver: " << m.name << " -> " << m.destination.value_or("null") << ", "
                << MemberStateName(m.state);
            if (m.reason) out << ": " << *m.reason;
            out << "\n";
        }
    }
    if (const auto& h = found.hive) {
        out << "  hive: " << h->file << ", " << HiveStateName(h->state);
        if (h->detail) out << ": " << *h->detail;
        out << "\n";
    }
    out << "  template: " << TemplateStateName(found.templateImport.state);
    if (found.templateImport.reason) out << ": " << *found.templateImport.reason;
    out << "\n";
}

}  // namespace

std::vector<RecordedCause> ReportedCauses(const RunRecord& record) {
    std::vector<RecordedCause> causes = record.ShownCauses();
    std::stable_partition(causes.begin(), causes.end(),
                          [](const RecordedCause& c) { return c.kind == CauseKind::kDiskFull; });
    return causes;
}

const char* OutcomeName(Outcome outcome) {
    // In the order of the enum.
    static const char* const kNames[] = {"adjusted",     "failed",           "stopped",
                                         "would adjust", "already adjusted", "would fail"};
    return kNames[static_cast<size_t>(outcome)];
}

json ToJson(const Report& report) {
    const RunRecord& record = *report.record;
    json causes = json::array();
    for (const RecordedCause& c : ReportedCauses(record))
        causes.push_back({{"kind", CauseKindName(c.kind)}, {"text", c.line}});
    json warnings = json::array();
    for (const RecordedLine& w : record.warnings) {
        if (w.shown) warnings.push_back(w.line);
    }
    json steps = json::array();
    for (RunStep step : record.steps) steps.push_back(RunStepName(step));
    const Findings& found = report.findings;
    json object = {
        {"image", report.image},
        {"outcome", OutcomeName(report.outcome)},
        {"exit_status", report.exitStatus},
        {"messages", MessagesJson(record)},
        {"causes", causes},
        {"steps", steps},
        {"journal", JournalName(report.journal)},
        {"played_back_at_open", report.playedBackAtOpen},
        {"warnings", warnings},
        {"seconds", report.seconds},
        {"target", TargetJson(found.target)},
        {"source", SourceJson(found.source)},
        {"hive", found.hive ? json{{"file", found.hive->file},
                                   {"state", HiveStateName(found.hive->state)},
                                   {"detail", OrNull(found.hive->detail)}}
                            : json(nullptr)},
        {"template",
         {{"state", TemplateStateName(found.templateImport.state)},
          {"reason", OrNull(found.templateImport.reason)},
          {"exit_code", OrNull(found.templateImport.exitCode)}}},
    };
    if (report.check) {
        object["disk"] = nullptr;
        if (report.disk) {
            object["disk"] = {{"format", report.disk->format},
                              {"size", report.disk->size},
                              {"parent", OrNull(report.disk->parent)},
                              {"partitions", PartitionsJson(report.disk->partitions)}};
        }
        object["boot_ini"] = OrNull(report.bootIni);
    }
    return object;
}

void PrintCheck(const Report& report, std::ostream& out) {
    const RunRecord& record = *report.record;
    out << report.image << ": " << OutcomeName(report.outcome) << "\n";
    if (report.disk) PrintDisk(*report.disk, out);
    PrintFindings(report.findings, out);
    if (report.bootIni) {
        std::string bootIni = *report.bootIni;
        bootIni.erase(std::remove(bootIni.begin(), bootIni.end(), '\r'), bootIni.end());
        while (!bootIni.empty() && bootIni.back() == '\n') bootIni.pop_back();
        out << "  Boot.ini:\n    " << Indented(bootIni) << "\n";
    }
    for (const RecordedMessage& m : record.messages)
        out << "  message: " << Indented(Utf8FromWide(m.text)) << "\n";
    for (const RecordedCause& c : ReportedCauses(record)) out << "  cause: " << c.line << "\n";
    for (const RecordedLine& w : record.warnings) {
        if (w.shown) out << "  note: " << w.line << "\n";
    }
}

}  // namespace morlit::posix
