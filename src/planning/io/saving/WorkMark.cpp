#include "planning/io/saving/WorkMark.h"

#include "vexa/io/AtomicFile.h"

#include <cerrno>
#include <string_view>

namespace {

using HolderFile::Verdict;

// The first line of every mark, so that a file of that name from anyone else is never judged.
constexpr char magic[] = "morvanta-work 1";

std::string contents(const LockHolder& holder)
{
    return std::string(magic) + "\n" + holder.lines();
}

std::string strangerAt(const FolderHandle& folder, const std::string& thing)
{
    return HolderFile::inTheWay(folder.pathOf(WorkMark::fileName), thing, "the mark of a folder it is at work in");
}

std::string whyNot(const FolderHandle& folder, const HolderFile::Look& found)
{
    switch (found.verdict) {
    case Verdict::elsewhere:
        return "a save of the computer " + found.holder->host +
               " has not finished there; that computer removes it should it have been cut off";
    case Verdict::notOurs:
        return strangerAt(folder, found.thing);
    case Verdict::atWork:
        return found.holder || found.lock == FolderHandle::File::Lock::held
                   ? "a save is at work in it"
                   : "a save may be at work in it (its mark names no holder yet, and the file system takes no locks)";
    default:
        return {};
    }
}

}

Answer<std::unique_ptr<WorkMark>> WorkMark::create(const FolderHandle& folder)
{
    // The folder's handle first: once the mark is made, nothing may fail that would leave it.
    auto again = folder.again();
    if (!again)
        return again.failure();
    auto file = folder.createWhole(fileName, contents(LockHolder::self()));
    if (!file.ok())
        return file.error() == EEXIST ? Answer<std::unique_ptr<WorkMark>>(nullptr) : file.failure();
    return std::unique_ptr<WorkMark>(new WorkMark(std::move(*file), std::move(again), false));
}

Answer<WorkMark::Taking> WorkMark::take(const FolderHandle& folder, bool orCreate)
{
    auto found = HolderFile::look(folder, fileName, magic);
    if (!found.ok())
        return found.failure();
    Taking taking;
    taking.verdict = found->verdict;
    if (found->verdict == Verdict::none) {
        if (!orCreate)
            return taking;
        auto made = create(folder);
        if (!made.ok())
            return made.failure();
        // Made by another instance in the instant between: looked at as theirs.
        if (!*made)
            return take(folder, false);
        taking.mark = std::move(*made);
        return taking;
    }
    if (found->verdict != Verdict::gone) {
        taking.why = whyNot(folder, *found);
        taking.idle = found->verdict == Verdict::elsewhere && (found->lock == FolderHandle::File::Lock::taken ||
                                                               found->lock == FolderHandle::File::Lock::shared);
        return taking;
    }
    auto again = folder.again();
    if (!again)
        return again.failure();
    // A mark of this user's, named after the new holder, so that others judge it by this process
    // from now on.
    auto mark = HolderFile::takeOver(folder, fileName, *found, contents(LockHolder::self()));
    if (!mark.ok() && HolderFile::isRefused(mark.error())) {
        taking.refused = mark.error();
        taking.why = HolderFile::notReplaceable(folder.pathOf(fileName), "the mark", *found, mark.error());
        return taking;
    }
    if (!mark.ok())
        return mark.failure();
    // Taken over by another instance meanwhile: looked at as theirs.
    if (mark->taken == HolderFile::Taken::changed)
        return take(folder, orCreate);
    // Not to be judged here: left as a live holder's.
    if (mark->taken == HolderFile::Taken::unsafe) {
        taking.verdict = Verdict::atWork;
        taking.unsafe = true;
        taking.ownersOnly = HolderFile::onlyItsOwnerTakesOver(*found);
        taking.why = (taking.ownersOnly ? "a save of the user " + HolderFile::ownerOf(*found) : std::string("a save")) +
                     " that ended left its mark " + folder.pathOf(fileName) +
                     ", which this user cannot take over safely (" + HolderFile::whyUnsafe(*found) + ")";
        return taking;
    }
    taking.mark.reset(new WorkMark(std::move(mark->file), std::move(again), true));
    return taking;
}

Answer<bool> WorkMark::isHeld(const FolderHandle& folder)
{
    const auto found = HolderFile::look(folder, fileName, magic);
    if (!found.ok())
        return found.failure();
    switch (found->verdict) {
    case Verdict::none:
    case Verdict::gone:
    case Verdict::notOurs:
        return false;
    case Verdict::elsewhere:
        // Another computer's holder: at work while it holds the lock, which is free here; where
        // the file system takes no locks, it cannot be told.
        return found->lock == FolderHandle::File::Lock::unsupported;
    default:
        return true;
    }
}

Answer<std::string> WorkMark::inTheWay(const FolderHandle& folder)
{
    const auto found = HolderFile::look(folder, fileName, magic);
    if (!found.ok())
        return found.failure();
    if (found->verdict == Verdict::notOurs)
        return strangerAt(folder, found->thing) + "; move it away, then save again";
    if (found->verdict != Verdict::gone)
        return std::string();
    const auto may = folder.mayRemove(fileName);
    if (!may.ok() && HolderFile::isRefused(may.error()))
        return HolderFile::notReplaceable(folder.pathOf(fileName), "the mark", *found, may.error());
    return may.ok() || may.error() == ENOENT ? Answer<std::string>(std::string()) : may.failure();
}

bool WorkMark::isMarkName(const std::string& name)
{
    if (name == fileName)
        return true;
    // "." + the mark's name + the temporary tag, looked at piece by piece: nothing is joined.
    const std::string_view mark = fileName, tag = Vexa::AtomicFile::temporaryTag;
    std::string_view rest = name;
    if (!Vexa::AtomicFile::isTemporaryName(name) || !rest.starts_with('.'))
        return false;
    rest.remove_prefix(1);
    if (!rest.starts_with(mark))
        return false;
    rest.remove_prefix(mark.size());
    return rest.starts_with(tag);
}

Answer<Done> WorkMark::removeLeftNames(const FolderHandle& folder)
{
    const auto names = folder.entries();
    if (!names.ok())
        return names.failure();
    for (const std::string& name : *names)
        if (name != fileName && isMarkName(name))
            if (const auto removed = HolderFile::removeTemporary(folder, name); !removed.ok())
                return removed.failure();
    return Done{};
}

Answer<bool> WorkMark::isIn(const FolderHandle& folder)
{
    return folder.has(fileName);
}

Answer<Done> WorkMark::removeIdle(const FolderHandle& folder)
{
    auto found = HolderFile::look(folder, fileName, magic);
    if (!found.ok())
        return found.failure();
    const auto lock = found->lock;
    if (found->verdict == Verdict::none || found->verdict == Verdict::notOurs ||
        (lock != FolderHandle::File::Lock::taken && lock != FolderHandle::File::Lock::shared))
        return Done{};
    // Taken over first, so that only the mark judged goes, never one another instance took
    // meanwhile; then this instance's own goes.
    auto taken = HolderFile::takeOver(folder, fileName, *found, found->text);
    if (!taken.ok())
        return taken.failure();
    if (taken->taken != HolderFile::Taken::yes)
        return Done{};
    return taken->file.removeFrom(folder, fileName);
}

Answer<std::optional<LockHolder>> WorkMark::holderOf(const FolderHandle& folder, std::time_t* since)
{
    const auto text = folder.read(fileName, 4096);
    if (!text.ok())
        return text.failure();
    const auto holder = *text ? LockHolder::named(**text, magic) : std::nullopt;
    if (holder && since) {
        const auto status = folder.status(fileName);
        if (!status.ok())
            return status.failure();
        *since = status->st_mtime;
    }
    return holder;
}

WorkMark::~WorkMark()
{
    release();
}

Answer<Done> WorkMark::release()
{
    return file_.removeFrom(folder_, fileName);
}

void WorkMark::leave()
{
    file_.close();
}
