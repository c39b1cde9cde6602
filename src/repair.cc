#include "repair.h"

#include "file_io.h"

namespace arcmend {

std::string backup_name(const std::string& name) { return name + ".bak"; }

RotationPlan plan_rotation(std::size_t size) {
  if (size < 2) {
    return {{0, size}, {size, 0}};
  }
  return {{2, size - 2}, {0, 2}};
}

namespace {

bool write_rotated(TempFile& temp, const Content& content) {
  const RotationPlan plan = plan_rotation(content.size());
  return temp.write(content.data() + plan.first.offset, plan.first.length) &&
         temp.write(content.data() + plan.second.offset, plan.second.length);
}

// The new content is complete on disk before the old file is touched, so a
// full disk or a kill at any point leaves the old content under the file's
// name or its backup name.
RepairResult replace_with_rotation(const char* name, const Content& content) {
  TempFile temp(name);
  if (!temp.created() || !write_rotated(temp, content) || !temp.finish(content.attributes())) {
    return RepairResult::cannot_write;
  }
  const std::string backup = backup_name(name);
  // A taken backup name is no failure: the file is then replaced without a
  // new backup, and the earlier backup stays as it is.
  const bool backed_up = rename_noreplace(name, backup.c_str());
  if (temp.commit(name)) {
    return RepairResult::done;
  }
  if (backed_up) {
    // Best effort: if this fails too, the old content is still the backup.
    rename_noreplace(backup.c_str(), name);
  }
  return RepairResult::cannot_write;
}

}  // namespace

RepairResult repair_file(const char* name) {
  Content content;
  switch (load_file(name, content)) {
    case LoadResult::cannot_open:
      return RepairResult::cannot_open;
    case LoadResult::cannot_load:
      return RepairResult::cannot_load;
    case LoadResult::loaded:
      break;
  }
  return replace_with_rotation(name, content);
}

}  // namespace arcmend
