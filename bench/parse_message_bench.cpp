// parseMessage on a 100 KiB message with 60 header fields. Goal: under 50 µs
// for the CR LF message. Run by hand: build-*/bench/parse_message_bench
#include <benchmark/benchmark.h>

#include <string>

#include "core/message.h"

namespace {

std::string makeMessage(std::string_view lineEnd) {
  std::string text;
  for (int i = 0; i < 60; ++i) {
    text += "X-Header-" + std::to_string(i) + ": some value for header number " + std::to_string(i);
    if (i % 10 == 0) {
      text += lineEnd;
      text += "\tcontinued on a folded line";
    }
    text += lineEnd;
  }
  text += lineEnd;
  std::string line(76, 'b');
  while (text.size() < 100 * 1024) {
    text += line;
    text += lineEnd;
  }
  text.resize(100 * 1024);
  return text;
}

void parseMessageWith(benchmark::State& state, std::string_view lineEnd) {
  std::string raw = makeMessage(lineEnd);
  for (auto _ : state) {
    auto message = tollbrook::parseMessage(raw);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(raw.size()));
}

void BM_ParseMessageCrLf(benchmark::State& state) {
  parseMessageWith(state, "\r\n");
}
void BM_ParseMessageLfOnly(benchmark::State& state) {
  parseMessageWith(state, "\n");
}

BENCHMARK(BM_ParseMessageCrLf)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ParseMessageLfOnly)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
