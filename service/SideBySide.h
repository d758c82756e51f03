#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

class Acquaintance;

// Calls call(entry) for every entry, up to `width` at once (the calling thread
// and helpers), so contacts whose addresses no longer answer cost a loop over
// all contacts about one time limit per `width` of them instead of one each.
// Stops taking new entries once keepGoing() is false; returns when every call
// taken has ended. One entry's failure ends neither the loop nor its thread.
void ForEachSideBySide(const std::vector<std::shared_ptr<Acquaintance>>& entries, std::size_t width,
                       const std::function<bool()>& keepGoing,
                       const std::function<void(Acquaintance&)>& call);
