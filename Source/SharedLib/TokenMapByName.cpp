#include "SharedLib/TokenMapByName.h"

#include "SharedLib/Assert.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace Vantrel::HolvaneApi::TokenTypes {

namespace {

bool typeMatches(const TokenDef& def, char type) { return type == 0 || def.token_type == type; }

} // namespace

TokenMapByName::ListsByFirstLetter::ListsByFirstLetter()
{
    std::fill(std::begin(_map), std::end(_map), uint8_t{0});
    _lists.emplace_back(); // index 0 means "no list"
}

void TokenMapByName::ListsByFirstLetter::add(const TokenDef& def)
{
    HOLVANE_ASSERT(!def.name.empty());
    const auto b = static_cast<unsigned char>(def.name[0]);
    if (_map[b] == 0) {
        _lists.push_back(std::make_unique<std::deque<TokenDef>>());
        HOLVANE_ASSERT(_lists.size() < 256);
        _map[b] = static_cast<uint8_t>(_lists.size() - 1);
    }
    _lists[_map[b]]->push_back(def);
}

const TokenDef* TokenMapByName::ListsByFirstLetter::find(std::string_view name, char type) const
{
    HOLVANE_ASSERT(name.length());
    const uint8_t index = _map[static_cast<unsigned char>(name[0])];
    if (index == 0)
        return nullptr;
    for (const TokenDef& def : *_lists[index]) {
        if (def.name == name && typeMatches(def, type))
            return &def;
    }
    return nullptr;
}

TokenMapByName::TokenMapByName() : _count(0) { _byLength.reserve(32); }

TokenMapByName::~TokenMapByName() = default;

void TokenMapByName::add(const TokenDef& def)
{
    const size_t n = def.name.length();
    if (_byLength.size() <= n)
        _byLength.resize(n + 1);
    if (!_byLength[n])
        _byLength[n] = std::make_unique<ListsByFirstLetter>();
    _byLength[n]->add(def);
    ++_count;
}

const TokenDef* TokenMapByName::find(std::string_view name, char type) const
{
    const size_t n = name.length();
    if (n == 0 || _byLength.size() <= n || !_byLength[n])
        return nullptr;
    return _byLength[n]->find(name, type);
}

void TokenMapByName::checkIntegrity() const
{
    for (size_t i = 0; i < _byLength.size(); ++i) {
        const ListsByFirstLetter* byLetter = _byLength[i].get();
        if (!byLetter)
            continue;
        for (const uint8_t index : byLetter->_map) {
            if (index == 0)
                continue;
            HOLVANE_ASSERT(index < byLetter->_lists.size());
            const std::deque<TokenDef>* tokens = byLetter->_lists[index].get();
            HOLVANE_ASSERT(tokens && !tokens->empty());
            for (size_t k = 0; k < tokens->size(); ++k) {
                HOLVANE_ASSERT(tokens->at(k).name.length() == i);
                const TokenDef* t = find(tokens->at(k).name, tokens->at(k).token_type);
                HOLVANE_ASSERT(t);
                HOLVANE_ASSERT(t->name == tokens->at(k).name);
                HOLVANE_ASSERT(t->token == tokens->at(k).token);
                HOLVANE_ASSERT(t->token_type == tokens->at(k).token_type);
            }
        }
    }
}

bool TokenMapByName::isConsistent(std::string* why) const
{
    auto fail = [why](std::string text) {
        if (why)
            *why = std::move(text);
        return false;
    };
    for (size_t i = 0; i < _byLength.size(); ++i) {
        const ListsByFirstLetter* byLetter = _byLength[i].get();
        if (!byLetter)
            continue;
        for (const uint8_t index : byLetter->_map) {
            if (index == 0)
                continue;
            if (index >= byLetter->_lists.size() || !byLetter->_lists[index] || byLetter->_lists[index]->empty())
                return fail("empty name list");
            // The first entry of each (name, type) is the one find returns;
            // every later one must agree with it.
            std::unordered_multimap<std::string_view, const TokenDef*> seen;
            for (const TokenDef& def : *byLetter->_lists[index]) {
                if (def.name.length() != i)
                    return fail("entry \"" + def.name + "\" filed under the wrong length");
                bool matched = false;
                auto range = seen.equal_range(def.name);
                for (auto it = range.first; it != range.second; ++it) {
                    if (it->second->token_type == def.token_type) {
                        if (it->second->token != def.token)
                            return fail("\"" + def.name + "\" of type '" + std::string(1, def.token_type) +
                                        "' has codes " + std::to_string(it->second->token) + " and " +
                                        std::to_string(def.token));
                        matched = true;
                        break;
                    }
                }
                if (!matched)
                    seen.emplace(def.name, &def);
            }
        }
    }
    return true;
}

} // namespace Vantrel::HolvaneApi::TokenTypes
