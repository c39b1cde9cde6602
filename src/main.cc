// The entry: the argument check, every text the tool prints, and the exit.

#include <cstdio>

#include "key_wait.h"
#include "repair.h"

namespace {

const char kUsage[] = "Compressed file repairer - Quorvane 2004.\n\nUse: arcmend.exe filename\n";
const char kCannotOpen[] = "Cannot open the file.\n";
const char kCannotLoad[] = "Cannot load the file to the memory.\n";
const char kCannotWrite[] = "Cannot write the file.\n";

// The text is on the screen before the pause starts. A failure to print has
// nowhere to be reported, and the exit status stays 0 regardless.
void report(const char* text) {
  (void)std::fputs(text, stdout);
  (void)std::fflush(stdout);
  arcmend::pause_for_key();
}

const char* message_for(arcmend::RepairResult result) {
  switch (result) {
    case arcmend::RepairResult::cannot_open:
      return kCannotOpen;
    case arcmend::RepairResult::cannot_load:
      return kCannotLoad;
    case arcmend::RepairResult::cannot_write:
      return kCannotWrite;
    case arcmend::RepairResult::done:
      break;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (argc != 2) {
    report(kUsage);
    return 0;
  }
  const char* message = message_for(arcmend::repair_file(argv[1]));
  if (message != nullptr) report(message);
  return 0;
}
