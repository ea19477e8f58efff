// A run's report, made from its record and what it found: the --json object
// and a check's text report are two renderings of the same values. Texts are
// in the user's language where the run showed them; absent values are null.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>

#include "platform/posix/record/check_disk.h"
#include "platform/posix/record/findings.h"
#include "platform/posix/record/run_record.h"

namespace morlit::posix {

enum class Outcome { kAdjusted, kFailed, kStopped, kWouldAdjust, kAlreadyAdjusted, kWouldFail };
enum class JournalEnd { kNone, kCommitted, kPutBack, kPlayedBackAtOpen, kKept };

struct Report {
    std::string image;  // as the command line named it
    Outcome outcome = Outcome::kFailed;
    int exitStatus = 1;
    const RunRecord* record = nullptr;
    Findings findings;
    JournalEnd journal = JournalEnd::kNone;
    bool playedBackAtOpen = false;  // a killed run's journal was played back first
    double seconds = 0;
    bool check = false;
    std::optional<DiskFacts> disk;       // a check's
    std::optional<std::string> bootIni;  // a check's that would adjust
};

// The causes a report gives, in the order a user should read them: a full
// file system first, as every other failure of that run follows from it.
std::vector<RecordedCause> ReportedCauses(const RunRecord& record);

nlohmann::json ToJson(const Report& report);

// A check's report as text: the outcome, then what the check found, one
// thing a line.
void PrintCheck(const Report& report, std::ostream& out);

const char* OutcomeName(Outcome outcome);

}  // namespace morlit::posix
