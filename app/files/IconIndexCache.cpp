#include "app/files/IconIndexCache.h"

#include "app/files/FileSystem.h"
#include "app/files/FileTypeIcon.h"
#include "app/files/SystemIconTable.h"
#include "platform/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kBlockStep = 1024 * IconIndexCache::kRecordSize;
// A block never holds more records than the cache may hold nodes.
constexpr std::size_t kMaxRecords = IconIndexCache::kMaxNodes;
// Each extension asked for again costs a MIME look-up by name (about 30 us).
// The database knows some 700 extensions of up to three characters; past this
// many, saved icons read as the generic one until a listing meets them again,
// so a block full of made-up extensions delays the start by about a tenth of a
// second.
constexpr std::size_t kMaxRenumbered = 4096;

bool ValidKind(int kind) {
    return kind >= 0 && kind < 3;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

bool StorableExtension(const std::string& path, std::string& extension) {
    std::size_t dot = path.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string text = path.substr(dot + 1);
    if (text.size() > 3)
        return false;
    for (char& c : text)
        c = LowerAscii(c);
    if (text == "exe")
        return false;
    extension = std::move(text);
    return true;
}

std::unique_ptr<IconIndexCache::Node> IconIndexCache::NewRoot() {
    auto root = std::make_unique<Node>();
    root->indexes = {-1, -1, -1};
    return root;
}

IconIndexCache::IconIndexCache()
    : IconIndexCache(SystemIconTable::Process()) {}

IconIndexCache::IconIndexCache(IconTable& table)
    : m_table(table)
    , m_root(NewRoot()) {}

IconIndexCache::~IconIndexCache() = default;

bool IconIndexCache::Store(const std::string& path, std::int32_t index, int kind) {
    std::lock_guard lock(m_mutex);
    return StoreLocked(path, index, kind);
}

bool IconIndexCache::StoreLocked(const std::string& path, std::int32_t index, int kind) {
    std::string extension;
    if (!ValidKind(kind) || !StorableExtension(path, extension))
        return false;
    Node* node = m_root.get();
    for (char c : extension) {
        auto& child = node->children[static_cast<unsigned char>(c)];
        if (!child) {
            if (m_nodeCount >= kMaxNodes) {
                node->children.erase(static_cast<unsigned char>(c));
                return false;
            }
            child = std::make_unique<Node>();
            ++m_nodeCount;
        }
        node = child.get();
    }
    node->indexes[static_cast<std::size_t>(kind)] = index;
    return true;
}

std::int32_t IconIndexCache::Lookup(const std::string& path, int kind) const {
    // Index 0 of the icon table is the generic file icon for every kind.
    const std::int32_t fallback = IconTable::kGenericFileIcon;
    std::string extension;
    if (!StorableExtension(path, extension))
        return fallback;
    if (!ValidKind(kind))
        kind = 0;
    std::lock_guard lock(m_mutex);
    const Node* node = m_root.get();
    for (char c : extension) {
        auto found = node->children.find(static_cast<unsigned char>(c));
        if (found == node->children.end())
            return fallback;
        node = found->second.get();
    }
    return node->indexes[static_cast<std::size_t>(kind)];
}

std::int32_t IconIndexCache::GetDefault(int row, int kind) const {
    if (row < 0 || row > 1 || !ValidKind(kind))
        return 0;
    std::lock_guard lock(m_mutex);
    return m_defaults[static_cast<std::size_t>(row)][static_cast<std::size_t>(kind)];
}

void IconIndexCache::SetDefault(int row, int kind, std::int32_t index) {
    if (row < 0 || row > 1 || !ValidKind(kind))
        return;
    std::lock_guard lock(m_mutex);
    m_defaults[static_cast<std::size_t>(row)][static_cast<std::size_t>(kind)] = index;
}

void IconIndexCache::FillDefaults(FileSystem& fileSystem) {
    char drives[1024] = {};
    std::uint32_t length = fileSystem.GetLogicalDriveStrings(sizeof drives, drives);
    if (length == 0 || length >= sizeof drives)
        return;
    bool driveDone = false;
    for (const char* root = drives; *root; root += std::strlen(root) + 1) {
        if (fileSystem.GetDriveType(root) == kDriveRemovable)
            continue;
        ShellFileInfo info;
        if (!driveDone) {
            if (!fileSystem.GetFileInfo(root, info, kInfoIcon | kInfoSmallIcon))
                return;
            SetDefault(kRowDrive, kIconSmall, info.iconIndex);
            SetDefault(kRowDrive, kIconOpen, info.iconIndex);
            driveDone = true;
        }
        std::string pattern = std::string(root) + "*.*";
        if (!fileSystem.FindFile(pattern, 0))
            continue;
        bool more = true;
        while (more) {
            more = fileSystem.FindNextFile();
            if (!fileSystem.IsDirectory() || fileSystem.IsDots())
                continue;
            std::string folder = fileSystem.GetFilePath();
            const std::pair<std::uint32_t, int> requests[] = {
                {kInfoIcon | kInfoSmallIcon, kIconSmall},
                {kInfoIcon | kInfoSmallIcon | kInfoOpenIcon, kIconOpen},
                {kInfoIcon, kIconLarge}};
            for (auto [flags, kind] : requests) {
                if (!fileSystem.GetFileInfo(folder, info, flags))
                    return;
                SetDefault(kRowFolder, kind, info.iconIndex);
            }
            return;
        }
    }
}

void IconIndexCache::SerializeNode(const Node& node, std::string& extension,
                                   std::vector<std::uint8_t>& block) const {
    if (block.size() + kRecordSize > block.capacity())
        block.reserve(block.capacity() + kBlockStep);
    std::uint8_t record[kRecordSize] = {};
    std::memcpy(record, extension.data(), std::min<std::size_t>(extension.size(), 3));
    for (std::size_t kind = 0; kind < 3; ++kind)
        platform::StoreLE32s(record + 4 + 4 * kind, node.indexes[kind]);
    block.insert(block.end(), record, record + kRecordSize);
    for (const auto& [byte, child] : node.children) {
        extension.push_back(static_cast<char>(byte));
        SerializeNode(*child, extension, block);
        extension.pop_back();
    }
}

std::vector<std::uint8_t> IconIndexCache::Serialize() const {
    std::vector<std::uint8_t> block;
    block.reserve(kBlockStep);
    std::string extension;
    {
        std::lock_guard lock(m_mutex);
        SerializeNode(*m_root, extension, block);
    }
    std::uint8_t terminator[kRecordSize] = {};
    for (std::size_t kind = 0; kind < 3; ++kind)
        platform::StoreLE32s(terminator + 4 + 4 * kind, kTerminatorIndex);
    block.insert(block.end(), terminator, terminator + kRecordSize);
    return block;
}

int IconIndexCache::Deserialize(const std::uint8_t* block, std::size_t size) {
    if (!block)
        return -1;
    // Find the terminator first, so a damaged block leaves the cache alone.
    std::size_t records = 0;
    bool terminated = false;
    for (std::size_t offset = 0; offset + kRecordSize <= size && records <= kMaxRecords;
         offset += kRecordSize) {
        const std::uint8_t* record = block + offset;
        if (platform::LoadLE32(record) == 0 &&
            platform::LoadLE32s(record + 4) == kTerminatorIndex &&
            platform::LoadLE32s(record + 8) == kTerminatorIndex &&
            platform::LoadLE32s(record + 12) == kTerminatorIndex) {
            terminated = true;
            break;
        }
        ++records;
    }
    if (!terminated || records > kMaxRecords)
        return -1;

    // The names are asked for before the lock is taken.
    std::vector<std::pair<std::string, std::array<std::int32_t, 3>>> loaded(records);
    std::size_t asked = 0;
    for (std::size_t i = 0; i < records; ++i) {
        const std::uint8_t* record = block + i * kRecordSize;
        auto& [name, indexes] = loaded[i];
        name = "a." + platform::ReadFixedText(record, 3);
        for (std::size_t kind = 0; kind < 3; ++kind)
            indexes[kind] = platform::LoadLE32s(record + 4 + 4 * kind);
        if (RenumberSaved(name, indexes, asked < kMaxRenumbered))
            ++asked;
    }
    std::lock_guard lock(m_mutex);
    m_root = NewRoot();
    m_nodeCount = 1;
    for (const auto& [name, indexes] : loaded)
        for (int kind = 0; kind < 3; ++kind)
            StoreLocked(name, indexes[static_cast<std::size_t>(kind)], kind);
    return static_cast<int>(records);
}

bool IconIndexCache::RenumberSaved(const std::string& path, std::array<std::int32_t, 3>& indexes,
                                   bool mayAsk) const {
    // The generic file icon and "nothing stored" (negative) read the same in
    // every table; any other saved index numbered an icon of another process.
    const auto saved = [](std::int32_t index) { return index > IconTable::kGenericFileIcon; };
    if (std::none_of(indexes.begin(), indexes.end(), saved))
        return false;
    std::int32_t here = IconTable::kGenericFileIcon;
    std::string extension;
    if (mayAsk && StorableExtension(path, extension)) {
        const IconNames names = FileTypeIconNames("x." + extension);
        here = m_table.IndexOf(names.name, names.fallbackName);
    }
    for (std::int32_t& index : indexes)
        if (saved(index))
            index = here;
    return mayAsk;
}
