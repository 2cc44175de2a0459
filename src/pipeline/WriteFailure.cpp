#include "pipeline/WriteFailure.h"

#include "support/Files.h"

#include <cerrno>

namespace zorvel {

std::string outOfSpaceText(const std::filesystem::path& folder, const std::string& fileName) {
    return "Недостаточно места на диске: не удалось записать «" + fileName + "» в папку «" + folder.string() + "»";
}

namespace {

bool ranOutOfSpace(const Error& error, const std::filesystem::path& folder) {
    const auto code = error.code();
    return (code && (*code == ENOSPC || *code == EDQUOT)) || isOutOfSpace(folder);
}

} // namespace

Error explainWriteFailure(Error error, const std::filesystem::path& folder, const std::string& fileName) {
    if (!ranOutOfSpace(error, folder))
        return error;
    return Error::platform(outOfSpaceText(folder, fileName) + ". Освободите место и запустите распознавание снова.")
        .causedBy(error);
}

std::string writeFailureReason(const Error& error, const std::filesystem::path& folder, const std::string& fileName) {
    return ranOutOfSpace(error, folder) ? outOfSpaceText(folder, fileName) : error.description();
}

} // namespace zorvel
