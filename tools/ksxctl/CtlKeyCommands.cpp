// key generate: writes a new installation key. The key itself is never
// printed: only where it went.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "CKesInstallationKey.h"
#include "CtlArgs.h"
#include "CtlCommands.h"
#include "CtlRecordText.h"

namespace {

// Writes the whole key to a new file of mode 0600; "" on success.
std::string WriteKey(const std::string& path, int flags, const unsigned char* key)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | flags, 0600);
    if (fd < 0) return path + ": " + strerror(errno);
    std::string error;
    size_t written = 0;
    while (error.empty() && written < CKesInstallationKey::ms_KeyBytes) {
        const ssize_t n = write(fd, key + written, CKesInstallationKey::ms_KeyBytes - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            error = path + ": " + strerror(errno);
        else
            written += static_cast<size_t>(n);
    }
    if (error.empty() && (fchmod(fd, 0600) != 0 || fsync(fd) != 0)) error = path + ": " + strerror(errno);
    if (close(fd) != 0 && error.empty()) error = path + ": " + strerror(errno);
    return error;
}

} // namespace

int CtlRunKey(int argc, char** argv)
{
    CtlArgs args;
    std::string error = args.Parse(argc, argv, 2, {{"force", false}});
    if (args.Help()) return CtlPrintHelp("key"), kCtlOk;
    if (error.empty() && (args.Positional().size() != 1 || args.Positional()[0] != "generate"))
        error = "wants 'generate'";
    if (!error.empty()) return CtlUsageError("key", error);

    const std::string path = CKesInstallationKey::KIKDefaultPath();
    unsigned char key[CKesInstallationKey::ms_KeyBytes];
    CKesInstallationKey::KIKNewKey(key);
    if (!args.Has("force")) {
        error = WriteKey(path, O_EXCL, key);
        if (!error.empty() && errno == EEXIST)
            error = path + " exists already; --force replaces it (then every host of the installation needs "
                           "the new one)";
    } else {
        // Replaced whole: a reader sees the old key or the new one.
        const std::string fresh = path + ".new";
        unlink(fresh.c_str());
        error = WriteKey(fresh, O_EXCL, key);
        if (error.empty() && rename(fresh.c_str(), path.c_str()) != 0) error = path + ": " + strerror(errno);
        if (!error.empty()) unlink(fresh.c_str());
    }
    explicit_bzero(key, sizeof key);
    if (!error.empty()) return CtlFail("key", error);
    CtlWriteOut("wrote a new installation key to " + path +
                " (mode 0600); copy it to every host of the installation and restart its daemons\n");
    return kCtlOk;
}
