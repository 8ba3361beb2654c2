#include "system/save_choice.h"

namespace {

bool AnyIs(const SaveFacts& facts, Attempt answer) {
    return facts.folder == answer || facts.temp == answer || facts.rename == answer;
}

}  // namespace

SaveWay ChooseSave(const SaveFacts& facts) {
    if (!facts.opened) return SaveWay::kRefuse;
    // Nothing to replace, or what a replacement would lose: written as writing to it would.
    if (!facts.regular || facts.otherNames) return SaveWay::kInPlace;
    // Writing in place for want of room would cut the old file and then fail: never.
    if (AnyIs(facts, Attempt::kNoRoom)) return SaveWay::kRefuse;
    // Where a replacement may not go, or would leave something behind.
    if (AnyIs(facts, Attempt::kNotAllowed) || facts.appendOnlyFolder || !facts.keepsAll)
        return SaveWay::kInPlace;
    return SaveWay::kReplace;
}
