#include "terminal/command_table.hpp"

#include <utility>

#include "error/internal_fault.hpp"

namespace halvorn::terminal {

std::size_t CommandTable::probe(std::string_view word) const {
    std::size_t slot = siphash13(key_, word) % kSlots;
    for (std::size_t tries = 0; tries < kSlots; ++tries) {
        const Entry& entry = slots_[slot];
        if (entry.handler == nullptr || entry.word == word) return slot;
        slot = (slot + 1) % kSlots;
    }
    return kSlots;
}

bool CommandTable::insert(std::string_view word, CommandHandler handler) {
    const std::size_t slot = probe(word);
    if (slot == kSlots) return false;
    Entry& entry = slots_[slot];
    if (entry.handler == nullptr) {
        entry.word = std::string(word);
        ++size_;
    }
    entry.handler = handler;
    return true;
}

CommandHandler CommandTable::find(std::string_view word) const {
    const std::size_t slot = probe(word);
    return slot == kSlots ? nullptr : slots_[slot].handler;
}

namespace {

CommandTable build_command_table() {
    // The key is drawn when the table is built, so `help` lists the commands
    // in an order that holds for this process only.
    CommandTable table(random_hash_key());
    constexpr std::pair<std::string_view, CommandHandler> kBuiltins[] = {
        {"cd", cmd_cd},       {"ls", cmd_ls},       {"pwd", cmd_pwd},   {"cat", cmd_cat},
        {"mkdir", cmd_mkdir}, {"touch", cmd_touch}, {"help", cmd_help},
    };
    for (const auto& [word, handler] : kBuiltins)
        check_invariant(table.insert(word, handler),
                        "the command table has room for every command");
    return table;
}

}  // namespace

const CommandTable& CommandTableAccess::operator*() const {
    // A C++ initialisation guard is safe here even for threads of an
    // interpreter without a global lock, which wait on it attached: the build
    // runs no interpreter code and waits for nothing, so a waiter is held up
    // only for that short run, and a collector's stop waits for no longer.
    static const CommandTable table = build_command_table();
    return table;
}

}  // namespace halvorn::terminal
