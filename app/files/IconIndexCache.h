#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FileSystem;
class IconTable;

// Remembers, per file extension, the icon index the local system gave for it,
// so that a friend's files (which have no local file to ask about) draw with the
// icon their extension has here. Three indexes per extension: small, large,
// open. Extensions of 0 to 3 characters are kept, lower-cased; "exe" never
// (programs carry their own icons). The indexes are those of one icon table,
// the process's own unless another is given.
//
// Also holds the defaults table: row 0 folders, row 1 drives, by icon kind.
// Safe to use from several threads.
class IconIndexCache {
public:
    IconIndexCache();
    explicit IconIndexCache(IconTable& table);
    ~IconIndexCache();
    IconIndexCache(const IconIndexCache&) = delete;
    IconIndexCache& operator=(const IconIndexCache&) = delete;

    bool Store(const std::string& path, std::int32_t index, int kind);
    std::int32_t Lookup(const std::string& path, int kind) const;

    std::int32_t GetDefault(int row, int kind) const;
    void SetDefault(int row, int kind, std::int32_t index);

    // Fills the defaults table from the first non-removable drive of the file
    // system: its root's small icon for drives, its first subfolder's icons for
    // folders.
    void FillDefaults(FileSystem& fileSystem);

    // The persisted block: 16-byte records, depth first, ended by a terminator.
    std::vector<std::uint8_t> Serialize() const;
    // Rebuilds the trie from a block; the number of records read, or -1 for an
    // absent or damaged block (the cache then stays as it was). The block's
    // indexes were handed out by the table of the process that saved it, so
    // only the extensions are believed: each one that had an icon is given
    // the one its name has here, from this cache's table (the first few
    // thousand; the rest the generic icon, which listings correct later).
    int Deserialize(const std::uint8_t* block, std::size_t size);

    static constexpr int kRowFolder = 0;
    static constexpr int kRowDrive = 1;
    static constexpr std::size_t kRecordSize = 16;
    static constexpr std::int32_t kTerminatorIndex = -5;
    // Far more extensions than any computer has; bounds what a damaged block
    // or a hostile folder can make the cache hold.
    static constexpr std::size_t kMaxNodes = 65536;

private:
    // One child link per byte value, kept sparse: most nodes have a handful.
    struct Node {
        std::array<std::int32_t, 3> indexes{0, 0, 0};
        std::map<unsigned char, std::unique_ptr<Node>> children;
    };

    bool StoreLocked(const std::string& path, std::int32_t index, int kind);
    // Gives the saved icons of one record this table's icon for the extension,
    // or the generic one when it may not ask; true when it asked.
    bool RenumberSaved(const std::string& path, std::array<std::int32_t, 3>& indexes,
                       bool mayAsk) const;
    void SerializeNode(const Node& node, std::string& extension,
                       std::vector<std::uint8_t>& block) const;
    static std::unique_ptr<Node> NewRoot();

    IconTable& m_table;
    mutable std::mutex m_mutex;
    std::unique_ptr<Node> m_root;
    std::size_t m_nodeCount = 1;
    std::array<std::array<std::int32_t, 3>, 2> m_defaults{};
};

// The extension a path is cached under, or false when it is not kept.
bool StorableExtension(const std::string& path, std::string& extension);
