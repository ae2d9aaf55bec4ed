#pragma once

// Telling srun's own lines from a remote task's in the error output of a job step: the report of
// the step's end, which the exit code already gives, and the lines saying that Slurm, not the
// task, failed. Tasksmith's remote tasks and qzrelay's remote runs both read step output with
// these rules.

#include <string>
#include <string_view>

namespace qz::intercept {

/// Whether the line is srun's report of a step's end ("srun: error: node: task 0: Exited with
/// exit code 3", "...: Killed", "...: Segmentation fault (core dumped)").
bool IsStepEndReport(std::string_view line);

/// The signal that ended the task of a step on node, by srun's report of the step's end ("srun:
/// error: qzn1: task 0: Segmentation fault"): the last such report for that node among lines
/// (ending with separator); 0 when none names a signal. srun writes the report when it learns of
/// the end, which may be before the task's last output has reached it, so the report may stand
/// anywhere. srun's own exit code is 128 + n for it, as for a task that exited with that code.
int StepEndSignal(std::string_view lines, std::string_view node, std::string_view separator = "\n");

/// Removes srun's reports of a step's end from lines ending with separator; everything else is
/// kept byte for byte (the separators between kept lines, and a last line without one).
std::string FilterStepOutput(std::string_view lines, std::string_view separator = "\r\n");

/// Whether a line of a step's error output is srun saying that Slurm, not the task, failed (the
/// step could not be created or launched, its node failed or was lost).
bool IsSlurmFailureLine(std::string_view line);

/// Whether any line of the output (lines ending with separator) is such a line.
bool HasSlurmFailureLine(std::string_view lines, std::string_view separator = "\n");

} // namespace qz::intercept
