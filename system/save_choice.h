// How a save goes, decided in one place from what the system answered. Each system's file
// gathers the facts as the save goes on, asks again after each, and does what the answer says.
#pragma once

// How an attempt to make something went, as far as the choice cares.
enum class Attempt {
    kNotYet,      // not tried (yet)
    kDone,        // it succeeded
    kNotAllowed,  // refused for a reason that writing into the old file would not meet
    kNoRoom,      // for want of room, descriptors or memory
};

struct SaveFacts {
    bool opened = false;      // opening the name for writing succeeded: the system allows it
    bool regular = false;     // a file on disk, not a device, pipe or FIFO
    bool otherNames = false;  // other names (hard links), or none at all (a deleted file)
    Attempt folder = Attempt::kNotYet;  // finding its folder, and the name there still the file
    bool appendOnlyFolder = false;      // where a file, once made, can never be removed
    Attempt temp = Attempt::kNotYet;    // making the new file beside it
    bool keepsAll = true;  // the new file carries what the old one does: owner, attributes, flags
    Attempt rename = Attempt::kNotYet;  // putting the complete new file in place, its mode given
};

enum class SaveWay {
    kReplace,  // a complete new file goes in place of the old one, so a failure loses nothing
    kInPlace,  // written into the file that opening the name gave, as writing to it would
    kRefuse,   // the save fails and what stood there stays whole
};

// The way for the facts known so far; those not yet gathered keep their defaults.
SaveWay ChooseSave(const SaveFacts& facts);
