#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace platform {

// A named block of memory shared by every process of the session: a file of the
// given size in the session namespace, mapped shared. Open-or-create: the first
// opener creates it zero-filled.
class SharedPage {
public:
    // Throws std::system_error when the file cannot be created, sized or mapped.
    static std::unique_ptr<SharedPage> OpenOrCreate(std::string_view name, std::size_t size);
    ~SharedPage();

    SharedPage(const SharedPage&) = delete;
    SharedPage& operator=(const SharedPage&) = delete;

    std::uint8_t* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }
    // True when this call created the page.
    bool Created() const { return m_created; }

private:
    SharedPage(std::uint8_t* data, std::size_t size, bool created);
    std::uint8_t* m_data;
    std::size_t m_size;
    bool m_created;
};

} // namespace platform
