#include "app/files/LocalFileSystem.h"

#include <climits>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

// /proc/self/mounts writes blanks and the like as octal escapes ("\040").
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                out += static_cast<char>(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

bool MountHolds(const std::string& mountPoint, const std::string& path) {
    if (mountPoint == "/")
        return true;
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

bool Under(const std::string& path, const std::string& folder) {
    return path.compare(0, folder.size(), folder) == 0;
}

int TypeOfMount(const std::string& device, const std::string& mountPoint, const std::string& type) {
    if (type == "iso9660" || type == "udf")
        return kDriveOptical;
    if (type == "tmpfs" || type == "ramfs")
        return kDriveRam;
    if (type == "nfs" || type == "nfs4" || type == "cifs" || type == "smb3" || type == "smbfs" ||
        type == "fuse.sshfs" || type == "9p" || type == "afs")
        return kDriveRemote;
    if (Under(mountPoint, "/media/") || Under(mountPoint, "/run/media/"))
        return kDriveRemovable;
    // A USB stick mounted elsewhere still says so in sysfs.
    if (Under(device, "/dev/sd")) {
        std::string disk = device.substr(5);
        while (!disk.empty() && disk.back() >= '0' && disk.back() <= '9')
            disk.pop_back();
        std::ifstream removable("/sys/block/" + disk + "/removable");
        int flag = 0;
        if (removable >> flag && flag == 1)
            return kDriveRemovable;
    }
    return kDriveFixed;
}

} // namespace

int DriveTypeOfPath(const std::string& path, const std::string& mountsFile) {
    char resolved[PATH_MAX];
    if (path.empty() || !realpath(path.c_str(), resolved))
        return kDriveNoRoot;
    std::ifstream mounts(mountsFile);
    if (!mounts)
        return kDriveUnknown;
    const std::string target = resolved;
    std::string line;
    std::string bestPoint;
    int bestType = kDriveUnknown;
    bool found = false;
    // The last matching line of the longest mount point wins: later mounts
    // cover earlier ones on the same point.
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string device, mountPoint, type;
        if (!(fields >> device >> mountPoint >> type))
            continue;
        mountPoint = UnescapeMountField(mountPoint);
        if (!MountHolds(mountPoint, target))
            continue;
        if (!found || mountPoint.size() >= bestPoint.size()) {
            bestPoint = mountPoint;
            bestType = TypeOfMount(UnescapeMountField(device), mountPoint, type);
            found = true;
        }
    }
    return found ? bestType : kDriveUnknown;
}
