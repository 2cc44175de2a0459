#include "support/Error.h"

#include <cstring>

namespace zorvel {

Error Error::fromErrno(std::string_view action, const std::filesystem::path& path, int code) {
    return platform(std::string(action) + " «" + path.string() + "»: " + std::strerror(code));
}

Error Error::fromErrno(std::string_view action, int code) {
    return platform(std::string(action) + ": " + std::strerror(code));
}

} // namespace zorvel
