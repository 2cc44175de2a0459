#include "pipeline/RecogniserCommand.h"

namespace zorvel {

std::vector<std::string> RecogniserCommand::arguments() const {
    std::vector<std::string> arguments = {
        "-m", model.string(), "-l", language, "-t", std::to_string(threads),
        "-oj", "-of", outputBase.string(), "-np", "--suppress-nst",
    };
    if (vadModel)
        arguments.insert(arguments.end(), {"--vad", "--vad-model", vadModel->string()});
    arguments.push_back(wav.string());
    return arguments;
}

std::filesystem::path RecogniserCommand::jsonURL() const { return outputBase.string() + ".json"; }

} // namespace zorvel
