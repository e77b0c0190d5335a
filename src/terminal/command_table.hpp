// The table from command word to handler.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "fs/hashing.hpp"
#include "terminal/commands.hpp"

namespace halvorn::terminal {

// A small open-addressing hash table with linear probing, keyed by a hash
// with a per-table random key. Its iteration order is the slot order, so it
// follows the key: fixed for one table, different from table to table.
// Nothing is ever removed.
class CommandTable {
public:
    // Room for the built-in commands with most probes ending at once.
    static constexpr std::size_t kSlots = 16;

    struct Entry {
        std::string word;
        CommandHandler handler = nullptr;  // null in a free slot
    };

    explicit CommandTable(HashKey key) : key_(key) {}

    // Adds `word`, or gives it the new handler if present. False only when
    // every slot is taken by other words.
    bool insert(std::string_view word, CommandHandler handler);
    // The handler of exactly `word` (bytes compared, case included), or null.
    CommandHandler find(std::string_view word) const;
    std::size_t size() const { return size_; }

    // Calls `visit(const Entry&)` for each entry, in slot order.
    template <class Visit>
    void for_each(Visit&& visit) const {
        for (const Entry& entry : slots_)
            if (entry.handler != nullptr) visit(entry);
    }

private:
    // The slot holding `word`, or else the free slot where the probe for it
    // ends; kSlots when the table is full and lacks it.
    std::size_t probe(std::string_view word) const;

    HashKey key_;
    std::array<Entry, kSlots> slots_{};
    std::size_t size_ = 0;
};

// The process's command table, built with a fresh random key on first use
// (safely, when several threads get there together) and only read
// afterwards: `COMMANDS->find(word)`, `COMMANDS->for_each(...)`.
struct CommandTableAccess {
    const CommandTable& operator*() const;
    const CommandTable* operator->() const { return &**this; }
};
inline constexpr CommandTableAccess COMMANDS{};

}  // namespace halvorn::terminal
