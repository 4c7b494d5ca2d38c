// Files that are slow to make (dkimpy-made chains, their keys), made once and
// kept in the build tree, so that every test process reads one copy instead of
// making its own: ctest runs each test case as a process of its own. A copy is
// keyed by the content of the scripts that make it and made again when they
// change. Processes share the cache through a lock file; test-thread only.
#ifndef TOLLBROOK_TESTS_FIXTURE_CACHE_H_
#define TOLLBROOK_TESTS_FIXTURE_CACHE_H_

#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tollbrook::testing {

// Fills the empty directory it is given; returns an error text, or "" when
// every file is there.
using FixtureMaker = std::function<std::string(const std::string& dir)>;

// The directory holding `name`'s files, made by `make` unless a complete copy
// made from the same `inputs` (files whose bytes key the copy) is there. The
// files are shared with other processes: read them, never change them. The
// error text of `make` when it fails; nothing is kept then.
std::expected<std::string, std::string> cachedFixture(std::string_view name,
                                                      const std::vector<std::string>& inputs,
                                                      const FixtureMaker& make);

// Where the cache lives: <build>/tests/fixture-cache. Removing it makes every
// copy again on the next run (after an upgrade of dkimpy, say).
std::string fixtureCacheRoot();

}  // namespace tollbrook::testing

#endif  // TOLLBROOK_TESTS_FIXTURE_CACHE_H_
