#include "JobNotes.h"

#include <mutex>

namespace zenta {

namespace {

std::mutex lock;
std::vector<std::pair<std::string, std::string>> notes;

} // namespace

void NoteJob(const std::string& job, const std::string& what) {
    std::lock_guard<std::mutex> guard(lock);
    notes.emplace_back(job, what);
}

std::vector<std::pair<std::string, std::string>> TakeJobNotes() {
    std::lock_guard<std::mutex> guard(lock);
    auto taken = std::move(notes);
    notes.clear();
    return taken;
}

} // namespace zenta
