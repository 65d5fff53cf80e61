// The mail index: per account, the identifiers of messages already forwarded ("F") and
// of those whose deletion on the server was requested but not yet confirmed ("D").
//
// One text file holds all accounts, one section each: a header line "[" + Base64 of the
// address + "]", then item lines identifier TAB mark. Lines before the first header
// belong to no account. Lines are read up to LF, CR LF or a lone CR, and written with LF. In memory the marks read from the file become "E" (was "F") and
// "C" (was "D"); "N" marks an identifier new in this run; "X" is a confirmed deletion and
// the answer for an unknown identifier. Only "F" and "D" are written back.
//
// Identifiers compare exactly, marks and addresses without regard to case.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "tstr.h"

struct mailIndex {
    Str account;       // address whose section is loaded
    Str path;          // the index file
    StrArray msgIds;   // file order, new identifiers appended
    StrArray msgMarks; // mark of msgIds[i]
    // Hash table over msgIds: each slot holds 0 (empty) or 1 + the position of the first
    // entry with an identifier, so a lookup does not scan a listing of any length. Kept
    // by GetAcctIndex and AddAcct, the only routines that change msgIds.
    std::vector<uint32_t, TrackedAllocator<uint32_t>> firstEntry;

    // Called when the new index is complete on disk, just before it replaces the old
    // one. A non-zero result is taken as an error number and abandons the replacement
    // as a failed rename would. Empty in the agent; tests use it to fail or crash there.
    std::function<int()> beforeReplace;
};

// An empty index; the handle's deleter is the destructor.
Owned<mailIndex> mailIndex_construct();

// Loads the first section of account from the file at path; a missing or unreadable
// file gives an empty index.
void GetAcctIndex(mailIndex& ix, std::string_view path, std::string_view account);
// Mark of the first entry with that identifier, or "X".
Str FindAcct(const mailIndex& ix, std::string_view id);
// Sets the mark of the first entry with that identifier; nothing when there is none.
void MarkAcct(mailIndex& ix, std::string_view id, std::string_view mark);
// Appends the identifier with the mark "N".
void AddAcct(mailIndex& ix, std::string_view id);
// Every "D" becomes "X": the server has confirmed the deletions.
void PurgeDelAcct(mailIndex& ix);

// Rewrites the file with this account's section ("F" and "D" entries) at its end; the
// other sections' lines are copied byte for byte. The old file is replaced only by a
// complete, synced new one, so a failure or crash on the way leaves it as it was. The
// new one is always created fresh beside it (" copy" added to the name, or a unique name
// when that is taken by anything but a leftover copy of ours), never through a link. Returns 0, or -1
// after logging why the index could not be updated; failure, when given, then receives
// that reason naming the file (for an alert).
int PutAcctIndex(mailIndex& ix, Str* failure = nullptr);
// Records one identifier's new mark at once, without rewriting the file: appends
// "id TAB mark" to the index, whose last section must be this account's (it is after
// PutAcctIndex). A run killed later then remembers what it already forwarded; the next
// PutAcctIndex rewrites the section whole. Returns 0, or -1 (logged) when the line
// could not be appended whole (nothing of it is left then); failure, when given, then
// receives the reason naming the file. An index that is a symbolic link is not written.
int AppendAcctIndex(const mailIndex& ix, std::string_view id, std::string_view mark, Str* failure = nullptr);
// Drops the sections of addresses that are not in the account table, and any lines
// before the first header, with the same safe replacement. Nothing happens when the
// file is missing. Returns 0, or -1 after logging the failure.
int ReorgIndex(mailIndex& ix, std::string_view path);
