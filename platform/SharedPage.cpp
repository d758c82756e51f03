#include "platform/SharedPage.h"

#include "platform/SessionNamespace.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

[[noreturn]] void Fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

} // namespace

std::unique_ptr<SharedPage> SharedPage::OpenOrCreate(std::string_view name, std::size_t size) {
    if (size == 0)
        Fail(EINVAL, "a shared page needs a size");
    auto path = SessionObjectPath(name);
    bool created = true;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
        created = false;
        fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    }
    if (fd < 0)
        Fail(errno, "cannot open shared page " + path.string());

    struct stat info {};
    int error = 0;
    if (fstat(fd, &info) != 0)
        error = errno;
    else if (!S_ISREG(info.st_mode))
        error = EINVAL;
    // A page is never shrunk: another process may have it mapped larger. Growing
    // fills with zeros, so the creator (and an opener racing it) see a clean page.
    else if (static_cast<std::size_t>(info.st_size) < size && ftruncate(fd, off_t(size)) != 0)
        error = errno;
    void* mapped = MAP_FAILED;
    if (error == 0) {
        mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED)
            error = errno;
    }
    close(fd);
    if (error != 0)
        Fail(error, "cannot map shared page " + path.string());
    return std::unique_ptr<SharedPage>(
        new SharedPage(static_cast<std::uint8_t*>(mapped), size, created));
}

SharedPage::SharedPage(std::uint8_t* data, std::size_t size, bool created)
    : m_data(data)
    , m_size(size)
    , m_created(created) {}

SharedPage::~SharedPage() {
    munmap(m_data, m_size);
}

} // namespace platform
