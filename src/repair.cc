#include "repair.h"

#include "ending_signals.h"
#include "old_file.h"
#include "rename.h"
#include "temp_file.h"

namespace arcmend {

std::string backup_name(const std::string& name) { return name + ".bak"; }

RotationPlan plan_rotation(std::uint64_t size) {
  if (size < 2) {
    return {{0, size}, {size, 0}};
  }
  return {{2, size - 2}, {0, 2}};
}

namespace {

CopyResult write_rotated(TempFile& temp, const OldFile& old) {
  const RotationPlan plan = plan_rotation(old.size());
  const CopyResult first = temp.append(old.handle(), plan.first.offset, plan.first.length);
  if (first != CopyResult::copied) return first;
  return temp.append(old.handle(), plan.second.offset, plan.second.length);
}

// Moves the old file to its backup name and gives the new file its name.
// A taken backup name is no failure: the file is then replaced without a
// new backup, and the earlier backup stays as it is. Any other failure
// leaves the old file as the only copy of its content, so it stays. No
// ending signal cuts this short, so none leaves the name missing: one that
// comes meanwhile ends the tool after it, with the new file or the old one
// under the name.
bool put_in_place(TempFile& temp, const char* name) {
  const EndingSignalsHeld held;
  if (!held.held()) return false;
  const std::string backup = backup_name(name);
  const RenameResult backed_up = rename_noreplace(name, backup.c_str());
  if (backed_up == RenameResult::failed) return false;
  if (temp.commit(name)) return true;
  if (backed_up == RenameResult::renamed) {
    // Best effort: if this fails too, the old content is still the backup.
    (void)rename_noreplace(backup.c_str(), name);
  }
  return false;
}

// The new content is complete on disk before the old file is touched, so a
// full disk or a kill at any point leaves the old content under the file's
// name or its backup name.
RepairResult replace_with_rotation(const char* name, OldFile& old) {
  TempFile temp(name);
  const CopyResult copied = temp.created() ? write_rotated(temp, old) : CopyResult::cannot_write;
  const bool written =
      copied == CopyResult::copied && temp.has_length(old.size()) && temp.finish(old.handle());
  // Copied from the file as it was written out: if it changed meanwhile,
  // what was written is not the content it had.
  const bool read_whole = copied != CopyResult::cannot_read && old.unchanged();
  // The old file is never open while it is renamed.
  old.close();
  if (!read_whole) return RepairResult::cannot_load;
  if (!written) return RepairResult::cannot_write;
  if (!put_in_place(temp, name)) return RepairResult::cannot_write;
  // These syncs cover both renames. Should one fail, they cannot be undone:
  // the new content is in place and the old one is the backup (or was
  // replaced), but neither may survive a power cut. That is reported, so
  // that nobody relies on a repair the disk has not confirmed.
  return temp.make_durable() ? RepairResult::done : RepairResult::cannot_write;
}

}  // namespace

RepairResult repair_file(const char* name) {
  OldFile old;
  switch (OldFile::open(name, old)) {
    case OpenResult::cannot_open:
      return RepairResult::cannot_open;
    case OpenResult::cannot_load:
      return RepairResult::cannot_load;
    case OpenResult::opened:
      break;
  }
  return replace_with_rotation(name, old);
}

}  // namespace arcmend
