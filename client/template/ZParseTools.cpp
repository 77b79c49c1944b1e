#include "ZParseTools.h"

#include "ZSpiritClassic.h"

namespace sp = BOOST_SPIRIT_CLASSIC_NS;

void ZParseTools_parseMenu(std::vector<std::pair<std::wstring, std::wstring>>& menu, const std::wstring& text) {
    menu.clear();
    // Labels and command lists are collected apart, as each matches, and
    // paired by position afterwards.
    std::vector<std::wstring> labels;
    std::vector<std::wstring> commands;
    typedef const wchar_t* Iter;
    auto addLabel = [&](Iter first, Iter last) { labels.emplace_back(first, last); };
    auto addCommands = [&](Iter first, Iter last) { commands.emplace_back(first, last); };

    const auto label = (*(~sp::ch_p(L'(')))[addLabel];
    const auto list = (+(~sp::ch_p(L')')))[addCommands];
    const auto entry = label >> sp::ch_p(L'(') >> list >> sp::ch_p(L')');
    const auto grammar = entry >> *(sp::ch_p(L';') >> entry);
    sp::parse(text.data(), text.data() + text.size(), grammar);

    for (std::size_t i = 0; i < labels.size() && i < commands.size(); ++i) menu.emplace_back(labels[i], commands[i]);
}
