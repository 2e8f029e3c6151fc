// Throughput of the voice text preparation on 1 MB of mixed text: Chinese and English
// sentences with numbers, amounts and ranges, given as GBK and as UTF-8.
//
// PrepareVoiceText writes one log line per call, and the log pauses 20 ms after each
// line (unless RV270_TEST_SKIP_PAUSES=1): a fixed cost per call, small against 1 MB.
// Real time is measured so that the pause is counted.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/codepage.h"
#include "text/voice_text.h"

namespace {

// Each sentence as GBK bytes (this file is compiled with -fexec-charset=GBK) and UTF-8.
struct Sentence {
  const char* gbk;
  const char* utf8;
};
#define SENTENCE(text) {text, u8##text}

const Sentence kSentences[] = {
    SENTENCE("请到3号窗口办理业务，"),
    SENTENCE("您的账户余额为￥12,345.67，"),
    SENTENCE("本次转账金额￥1,200,000,000,000元整。"),
    SENTENCE("客服热线95588，服务时间8:30-17:30。"),
    SENTENCE("Your balance is $1,234.56 and the fee is $0.05. "),
    SENTENCE("Please wait at counter 12, about 5 - 10 minutes. "),
    SENTENCE("第12-15页，2023-01-05，温度-5度，"),
    SENTENCE("美元汇率$100-200，存款期限3个月。"),
    SENTENCE("Pay $1-1234567890 now.\r\n"),
};

constexpr size_t kTextBytes = 1 << 20;

std::string MixedText(bool gbk) {
  std::string text;
  while (text.size() < kTextBytes) {
    for (const Sentence& s : kSentences) text += gbk ? s.gbk : s.utf8;
  }
  return text;
}

void BM_PrepareVoiceText(benchmark::State& state, bool gbk) {
  const std::string text = MixedText(gbk);
  for (auto _ : state) {
    std::string spoken = PrepareVoiceText(text.c_str());
    benchmark::DoNotOptimize(spoken);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}

void BM_SpellOutNumbers(benchmark::State& state) {
  const std::u16string text = platform::Utf8ToUtf16(MixedText(false));
  for (auto _ : state) {
    std::u16string spoken = SpellOutNumbers(text);
    benchmark::DoNotOptimize(spoken);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size() * sizeof(char16_t)));
}

}  // namespace

BENCHMARK_CAPTURE(BM_PrepareVoiceText, gbk_1MB, true)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PrepareVoiceText, utf8_1MB, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SpellOutNumbers)->Unit(benchmark::kMillisecond)->UseRealTime();
