#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zorvel {

// `zorvel --transcribe FOLDER [LANG]`: runs the whole transcription on the calling (main) thread
// and returns the process exit status: 0 with the transcript's path on standard output, 1 with
// the error on standard error (also when the path could not be printed), 2 when the folder
// operand is missing. SIGTERM, SIGINT and SIGHUP end the process by that signal once the run has
// stopped its tool and cleaned up.
int runHeadlessTranscription(const std::vector<std::string>& arguments, std::size_t flagIndex);

} // namespace zorvel
