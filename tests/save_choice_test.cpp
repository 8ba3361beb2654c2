// The one decision of every save, on every system: replace, write in place, or refuse.
#include "system/save_choice.h"

#include <gtest/gtest.h>

namespace {

using enum Attempt;
using enum SaveWay;

// A file on disk with one name, in a folder found: what the kernel's answers most often say.
SaveFacts Plain() { return {.opened = true, .regular = true, .folder = kDone}; }

struct Row {
    const char* what;
    SaveFacts facts;
    SaveWay way;
};

}  // namespace

TEST(ChooseSave, ReplacesWhereItMayWritesInPlaceWhereItMayNotAndNeverForWantOfRoom) {
    const auto with = [](auto change) {
        SaveFacts f = Plain();
        change(f);
        return f;
    };
    const Row rows[] = {
        {"opening the name failed", with([](SaveFacts& f) { f.opened = false; }), kRefuse},
        {"a plain file, before the temporary file", Plain(), kReplace},
        {"a plain file, temporary file made", with([](SaveFacts& f) { f.temp = kDone; }), kReplace},
        {"a plain file, put in place", with([](SaveFacts& f) { f.temp = f.rename = kDone; }),
         kReplace},
        {"a device, pipe or FIFO", with([](SaveFacts& f) { f.regular = false; }), kInPlace},
        {"hard links, or a deleted file", with([](SaveFacts& f) { f.otherNames = true; }),
         kInPlace},
        {"no folder found", with([](SaveFacts& f) { f.folder = kNotAllowed; }), kInPlace},
        {"no descriptor for the folder", with([](SaveFacts& f) { f.folder = kNoRoom; }), kRefuse},
        {"an append-only folder", with([](SaveFacts& f) { f.appendOnlyFolder = true; }), kInPlace},
        {"no file may be made beside it", with([](SaveFacts& f) { f.temp = kNotAllowed; }),
         kInPlace},
        {"no room for a file beside it", with([](SaveFacts& f) { f.temp = kNoRoom; }), kRefuse},
        {"owner, attributes or flags not given",
         with([](SaveFacts& f) { f.temp = kDone, f.keepsAll = false; }), kInPlace},
        {"the rename refused (a mount point)",
         with([](SaveFacts& f) { f.temp = kDone, f.rename = kNotAllowed; }), kInPlace},
        {"no room to rename", with([](SaveFacts& f) { f.temp = kDone, f.rename = kNoRoom; }),
         kRefuse},
        {"refused to open wins over all",
         with([](SaveFacts& f) { f.opened = false, f.regular = false, f.otherNames = true; }),
         kRefuse},
    };
    for (const Row& row : rows) EXPECT_EQ(ChooseSave(row.facts), row.way) << row.what;
}
