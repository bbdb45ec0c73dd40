#pragma once

#include "SharedLib/TokenDef.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Vantrel::HolvaneApi::TokenTypes {

// Every entry of a downloaded token table, found by name length, then first
// byte, then a short scan in insertion order. Filled once, then only read.
class TokenMapByName {
public:
    // The entries whose names share one length, split by first byte.
    class ListsByFirstLetter {
    public:
        // Deques keep entries in place as the list grows, so found pointers stay valid.
        using ListType = std::vector<std::unique_ptr<std::deque<TokenDef>>>;

        ListsByFirstLetter();
        void add(const TokenDef& def);
        // name must not be empty; type 0 matches any type.
        const TokenDef* find(std::string_view name, char type) const;

        uint8_t _map[256];
        ListType _lists;
    };

    TokenMapByName();
    ~TokenMapByName();
    TokenMapByName(const TokenMapByName&) = delete;
    TokenMapByName& operator=(const TokenMapByName&) = delete;

    // Stores a copy. Pointers from find stay valid as long as the map.
    void add(const TokenDef& def);
    // First entry of that name passing the type filter (0 = any), or null.
    const TokenDef* find(std::string_view name, char type = 0) const;
    size_t size() const { return _count; }

    // Asserts the map's invariants (for the program's own use).
    void checkIntegrity() const;
    // The same checks without aborting, in time linear in the entries; on a
    // failure returns false and, if why is given, says what is wrong.
    bool isConsistent(std::string* why = nullptr) const;

private:
    size_t _count;
    std::vector<std::unique_ptr<ListsByFirstLetter>> _byLength;
};

} // namespace Vantrel::HolvaneApi::TokenTypes
