// The one decision of every save, on every system: replace, write in place, or refuse.
#include "system/save_choice.h"

#include <gtest/gtest.h>

using enum Attempt;
using enum SaveWay;

// One row per rule, each rule's fact alone or against the rule after it, so that a rule left
// out or put in another order shows.
TEST(ChooseSave, ReplacesWhereItMayWritesInPlaceWhereItMayNotAndNeverForWantOfRoom) {
    const auto with = [](auto change) {
        SaveFacts f{.opened = true, .regular = true, .folder = kDone};  // a file with one name
        change(f);
        return f;
    };
    const struct {
        const char* what;
        SaveFacts facts;
        SaveWay way;
    } rows[] = {
        {"not opened, whatever else",
         with([](SaveFacts& f) { f.opened = false, f.regular = false; }), kRefuse},
        {"a plain file", with([](SaveFacts& f) { f.temp = f.rename = kDone; }), kReplace},
        {"a device, pipe or FIFO", with([](SaveFacts& f) { f.regular = false; }), kInPlace},
        {"hard links, though no room",
         with([](SaveFacts& f) { f.otherNames = true, f.temp = kNoRoom; }), kInPlace},
        {"no room, though not allowed",
         with([](SaveFacts& f) { f.folder = kNotAllowed, f.rename = kNoRoom; }), kRefuse},
        {"the temporary file not allowed", with([](SaveFacts& f) { f.temp = kNotAllowed; }),
         kInPlace},
        {"an append-only folder", with([](SaveFacts& f) { f.appendOnlyFolder = true; }), kInPlace},
        {"owner, attributes or flags not given", with([](SaveFacts& f) { f.keepsAll = false; }),
         kInPlace},
    };
    for (const auto& row : rows) EXPECT_EQ(ChooseSave(row.facts), row.way) << row.what;
}
