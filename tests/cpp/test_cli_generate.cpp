#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "cli/chat.h"
#include "cli/stdio.h"
#include "common/format.h"
#include "generation/chat.h"
#include "generation/generate.h"
#include "generation/limits.h"
#include "tokenizer/tokenizer.h"

namespace kestrune {
namespace {

// A stand-in model: the logits after feeding token t are one-hot at next_of[t] (default
// t + 1), so greedy decoding walks a known chain. Every feed is logged.
struct FakeModel {
  size_t vocab = 16;
  std::map<uint32_t, uint32_t> next_of;
  std::vector<uint32_t> fed;
  std::vector<uint32_t> emitted;
  int fail_feed_at = -1;  // feed call index that fails

  std::vector<float> logits_after(uint32_t t) const {
    std::vector<float> l(vocab, 0.0f);
    auto it = next_of.find(t);
    l[(it != next_of.end() ? it->second : t + 1) % vocab] = 10.0f;
    return l;
  }
  FeedFn feed() {
    return [this](uint32_t t) -> Result<std::vector<float>> {
      if (static_cast<int>(fed.size()) == fail_feed_at) return invalid_data("forward broke");
      fed.push_back(t);
      return logits_after(t);
    };
  }
  EmitFn emit() {
    return [this](uint32_t t) -> Status {
      emitted.push_back(t);
      return Ok{};
    };
  }
};

struct Outcome {
  RunReport report;
  Status status;
};

Outcome run_plain(FakeModel& m, Sampler& s, std::vector<uint32_t> prompt, uint64_t budget, std::vector<uint32_t> stop) {
  Outcome r;
  auto feed = m.feed();
  auto logits = feed_prompt(feed, prompt, r.report);
  if (!logits.ok()) {
    r.status = logits.error();
    return r;
  }
  DecodeRules rules;
  rules.budget = budget;
  rules.stop = std::move(stop);
  auto start = decode_loop(feed, nullptr, s, std::move(*logits), rules, m.emit(), r.report);
  if (!start.ok()) r.status = start.error();
  return r;
}

TEST(GenerateLoop, PrefillFeedsEveryPromptTokenOnce) {
  FakeModel m;
  RunReport report;
  auto logits = feed_prompt(m.feed(), std::vector<uint32_t>{3, 1, 4, 1, 5}, report);
  ASSERT_TRUE(logits.ok());
  EXPECT_EQ(m.fed, (std::vector<uint32_t>{3, 1, 4, 1, 5}));
  EXPECT_EQ(report.prompt_tokens, 5u);
  EXPECT_EQ((*logits)[6], 10.0f);  // only the last call's logits are kept
  EXPECT_GE(report.prefill_seconds, 1e-9);

  RunReport empty;
  auto none = feed_prompt(m.feed(), std::vector<uint32_t>{}, empty);
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(empty.prompt_tokens, 0u);
}

TEST(GenerateLoop, EveryEmittedTokenIsFedAndTheLastSampleIsDiscarded) {
  FakeModel m;
  Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
  Outcome r = run_plain(m, s, {2}, 3, {});
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(m.emitted, (std::vector<uint32_t>{3, 4, 5}));
  EXPECT_EQ(m.fed, (std::vector<uint32_t>{2, 3, 4, 5}));  // prompt, then each emitted token
  EXPECT_EQ(r.report.generated, 3u);
  EXPECT_EQ(r.report.prompt_tokens, 1u);
}

TEST(GenerateLoop, BudgetZeroDrawsOneSampleAndEmitsNothing) {
  FakeModel m;
  Sampler s = make_sampler(0.8f, 0, 1.0f, 4);
  uint64_t before = s.rng_state;
  Outcome r = run_plain(m, s, {1, 2}, 0, {});
  ASSERT_TRUE(r.status.ok());
  EXPECT_TRUE(m.emitted.empty());
  EXPECT_EQ(m.fed, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(r.report.generated, 0u);
  EXPECT_EQ(s.rng_state, before + 0x9E3779B97F4A7C15ull);
}

TEST(GenerateLoop, SamplesOncePerFedTokenPlusOne) {
  FakeModel m;
  Sampler s = make_sampler(0.5f, 1, 1.0f, 4);  // top_k 1: deterministic ids, but draws
  uint64_t before = s.rng_state;
  Outcome r = run_plain(m, s, {0}, 5, {});
  ASSERT_TRUE(r.status.ok());
  EXPECT_EQ(m.emitted, (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(s.rng_state, before + 6 * 0x9E3779B97F4A7C15ull);
}

TEST(GenerateLoop, StopTokenIsNeitherEmittedNorFed) {
  struct Case {
    std::vector<uint32_t> stop;
    uint64_t budget;
    std::vector<uint32_t> emitted;
  };
  const Case cases[] = {
      {{4}, 10, {2, 3}},
      {{9, 3}, 10, {2}},
      {{2}, 10, {}},  // the first sample stops the run
      {{4}, 1, {2}},  // budget first
      {{}, 4, {2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    FakeModel m;
    Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
    Outcome r = run_plain(m, s, {1}, c.budget, c.stop);
    ASSERT_TRUE(r.status.ok());
    EXPECT_EQ(m.emitted, c.emitted);
    std::vector<uint32_t> fed = {1};
    fed.insert(fed.end(), c.emitted.begin(), c.emitted.end());
    EXPECT_EQ(m.fed, fed);
    EXPECT_EQ(r.report.generated, c.emitted.size());
  }
}

TEST(GenerateLoop, CursorReportsWhyTheRunEnded) {
  for (auto [stop, budget, stopped] : {std::tuple<uint32_t, uint64_t, bool>{4, 10, true}, {4, 2, false}}) {
    FakeModel m;
    Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
    FeedFn feed = m.feed();
    RunReport report;
    DecodeRules rules;
    rules.budget = budget;
    rules.stop = {stop};
    DecodeCursor cursor = start_cursor(s, m.logits_after(1));
    std::vector<uint32_t> out;
    for (;;) {
      auto t = decode_step(feed, s, cursor, rules, report);
      ASSERT_TRUE(t.ok());
      if (!*t) break;
      out.push_back(**t);
    }
    // The same two tokens either way: the stop token 4 or the budget of 2 ends the run
    // after the last emitted token has been fed.
    EXPECT_EQ(out, (std::vector<uint32_t>{2, 3}));
    EXPECT_EQ(cursor.stopped, stopped);
    EXPECT_EQ(m.fed, (std::vector<uint32_t>{2, 3}));
    auto after = decode_step(feed, s, cursor, rules, report);  // a finished cursor stays finished
    ASSERT_TRUE(after.ok());
    EXPECT_FALSE(*after);
    EXPECT_EQ(m.fed.size(), 2u);
  }
}

TEST(GenerateLoop, ErrorsEndTheRunUnchanged) {
  FakeModel m;
  m.fail_feed_at = 3;  // prompt (1) + two decode feeds succeed
  Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
  Outcome r = run_plain(m, s, {0}, 10, {});
  ASSERT_FALSE(r.status.ok());
  EXPECT_EQ(r.status.error().message, "forward broke");
  EXPECT_EQ(m.emitted, (std::vector<uint32_t>{1, 2, 3}));

  FakeModel w;
  Sampler t = make_sampler(0.0f, 0, 1.0f, 0);
  RunReport report;
  int calls = 0;
  EmitFn failing = [&calls](uint32_t) -> Status {
    if (++calls == 2) return Error{ErrorKind::Os, "Broken pipe (os error 32)"};
    return Ok{};
  };
  DecodeRules rules;
  auto start = decode_loop(w.feed(), nullptr, t, w.logits_after(0), rules, failing, report);
  ASSERT_FALSE(start.ok());
  EXPECT_EQ(start.error().message, "Broken pipe (os error 32)");
  EXPECT_EQ(w.fed, (std::vector<uint32_t>{1}));  // the failed token is not fed
}

// A scripted speculative step under the round contract: round i offers rounds[i]; at
// most `keep` drafts are accepted and none that stops (a refused draft becomes `next`);
// `keep` 0 only feeds. Logs every fed token.
struct FakeSpec {
  std::vector<StepResult> rounds;
  std::vector<uint32_t> fed;
  size_t run = 0;
  SpecStepFn fn() {
    return [this](uint32_t t, uint64_t keep, std::span<const uint32_t> stop) -> Result<StepResult> {
      fed.push_back(t);
      if (keep == 0) return StepResult{};
      if (run >= rounds.size()) return invalid_data("script exhausted");
      StepResult r = rounds[run++];
      std::vector<uint32_t> offered = r.accepted;
      offered.push_back(r.next);
      size_t k = 0;
      while (k + 1 < offered.size() && k < keep && std::find(stop.begin(), stop.end(), offered[k]) == stop.end()) ++k;
      return StepResult{std::vector<uint32_t>(offered.begin(), offered.begin() + k), offered[k]};
    };
  }
};

TEST(GenerateLoop, SpeculativeRounds) {
  struct Case {
    const char* name;
    std::vector<StepResult> rounds;
    uint64_t budget;
    std::vector<uint32_t> stop;
    std::vector<uint32_t> emitted;
    std::vector<uint32_t> fed;  // every token handed to a round: emitted ones only
    size_t rounds_run;
    uint64_t accepted;
  };
  // The first sample is always 1 (logits after the prompt token 0).
  const std::vector<Case> cases = {
      {"accepts and continues", {{{2}, 3}, {{}, 4}, {{5, 6}, 7}}, 7, {}, {1, 2, 3, 4, 5, 6, 7}, {1, 3, 4, 7}, 3, 3},
      {"budget inside the accepted list", {{{2, 3}, 4}}, 2, {}, {1, 2}, {1}, 1, 1},
      {"budget right after the round token", {{{}, 2}}, 1, {}, {1}, {1}, 0, 0},
      {"stop inside the accepted list", {{{2, 9, 3}, 4}}, 10, {9}, {1, 2}, {1}, 1, 1},
      {"stop as the next token", {{{2}, 9}}, 10, {9}, {1, 2}, {1}, 1, 1},
      {"budget exactly after a round", {{{2}, 3}}, 3, {}, {1, 2, 3}, {1, 3}, 1, 1},
      {"zero budget", {}, 0, {}, {}, {}, 0, 0},
      {"first sample stops", {}, 5, {1}, {}, {}, 0, 0},
  };
  for (const Case& c : cases) {
    FakeModel m;
    FakeSpec fake{c.rounds, {}};
    SpecStepFn step = fake.fn();
    Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
    RunReport report;
    DecodeRules rules;
    rules.budget = c.budget;
    rules.stop = c.stop;
    auto start = decode_loop(m.feed(), &step, s, m.logits_after(0), rules, m.emit(), report);
    ASSERT_TRUE(start.ok()) << c.name << ": " << start.error().message;
    EXPECT_EQ(m.emitted, c.emitted) << c.name;
    EXPECT_TRUE(m.fed.empty()) << c.name;  // the rounds feed, not the plain pass
    EXPECT_EQ(fake.fed, c.fed) << c.name;
    EXPECT_EQ(fake.run, c.rounds_run) << c.name;
    EXPECT_EQ(report.rounds, c.rounds_run) << c.name;
    EXPECT_EQ(report.accepted, c.accepted) << c.name;
    EXPECT_EQ(report.generated, c.emitted.size()) << c.name;
  }
}

TEST(GenerateLoop, EmptySpeculativeHookMeansPlainDecoding) {
  FakeModel m;
  SpecStepFn none;
  Sampler s = make_sampler(0.0f, 0, 1.0f, 0);
  RunReport report;
  DecodeRules rules;
  rules.budget = 2;
  auto start = decode_loop(m.feed(), &none, s, m.logits_after(0), rules, m.emit(), report);
  ASSERT_TRUE(start.ok());
  EXPECT_EQ(m.emitted, (std::vector<uint32_t>{1, 2}));
  EXPECT_EQ(report.rounds, 0u);
}

TEST(GenerateReport, PerfLineFormat) {
  RunReport r;
  r.prompt_tokens = 5;
  r.prefill_seconds = 0.25;
  r.generated = 3;
  r.gen_seconds = 1.5;
  EXPECT_EQ(perf_line(r), "# perf: prefill 5 tok in 0.25s (20.0 tok/s) | gen 3 tok in 1.50s (2.0 tok/s)\n");
  r.generated = 0;
  r.gen_seconds = 1e-9;
  EXPECT_EQ(perf_line(r), "# perf: prefill 5 tok in 0.25s (20.0 tok/s) | gen 0 tok in 0.00s (0.0 tok/s)\n");
  r.prompt_tokens = 2;
  r.prefill_seconds = 0.004;
  EXPECT_EQ(perf_line(r).substr(0, 44), "# perf: prefill 2 tok in 0.00s (500.0 tok/s)");
}

TEST(GenerateReport, SpecLineAndContextWarning) {
  RunReport r;
  r.accepted = 7;
  r.rounds = 4;
  EXPECT_EQ(spec_line(r), "# spec: accepted 7/4 rounds (175.0%)\n");
  r.accepted = 1;
  r.rounds = 3;
  EXPECT_EQ(spec_line(r), "# spec: accepted 1/3 rounds (33.3%)\n");

  EXPECT_EQ(context_warning(90, 100), "");
  EXPECT_EQ(context_warning(91, 100), "# warning: context 91 / 100 tokens (~91%)\n");
  EXPECT_EQ(context_warning(1, 0), "");
  EXPECT_EQ(context_warning(99, 100), "# warning: context 99 / 100 tokens (~99%)\n");
  EXPECT_EQ(context_warning(0, 0), "");
  EXPECT_EQ(context_warning(UINT32_MAX, UINT64_MAX), "");
  EXPECT_EQ(context_warning(3686, 4096), "");
  EXPECT_EQ(context_warning(3687, 4096), "# warning: context 3687 / 4096 tokens (~90%)\n");
}

TEST(FrontEndLimits, OneTableForEveryFrontEnd) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    float temperature, top_p;
    const char* error;  // nullptr: accepted
  } sampling[] = {
      {0.0f, 1.0f, nullptr},
      {0.7f, 0.01f, nullptr},
      {-1.0f, 0.9f, "temperature must be a number of 0 or more (0 is greedy), got -1"},
      {nan, 0.9f, "temperature must be a number of 0 or more (0 is greedy), got NaN"},
      {inf, 0.9f, "temperature must be a number of 0 or more (0 is greedy), got inf"},
      {1.0f, 0.0f, "top_p must be above 0 and at most 1, got 0"},
      {1.0f, 1.5f, "top_p must be above 0 and at most 1, got 1.5"},
      {1.0f, nan, "top_p must be above 0 and at most 1, got NaN"},
  };
  for (const auto& c : sampling) {
    Status st = check_sampling(c.temperature, c.top_p);
    EXPECT_EQ(st.ok(), c.error == nullptr) << c.temperature << " " << c.top_p;
    if (c.error) {
      EXPECT_EQ(st.error().message, c.error);
      EXPECT_TRUE(is_limit_error(st.error()));
    }
  }
  struct Fit {
    uint64_t used, prompt, budget, context;
    std::optional<uint64_t> want;  // absent: refused
  } fits[] = {
      {0, 10, 5, 100, 5}, {0, 10, 200, 100, 90}, {0, 10, 0, 100, 0},  {0, 99, 64, 100, 1},
      {0, 100, 1, 100, {}}, {60, 40, 1, 100, {}}, {60, 30, 64, 100, 10}, {0, 500, 64, 0, 64},
  };
  for (const auto& f : fits) {
    auto r = fit_budget(f.used, f.prompt, f.budget, f.context);
    ASSERT_EQ(r.ok(), f.want.has_value()) << f.used << "+" << f.prompt << " in " << f.context;
    if (f.want) {
      EXPECT_EQ(*r, *f.want);
    } else {
      EXPECT_EQ(r.error().message, format("prompt of {} tokens leaves no room in the context of {} tokens",
                                          f.used + f.prompt, f.context));
      EXPECT_TRUE(is_limit_error(r.error()));
    }
  }
}

TEST(TrimEndUnicode, Table) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"exit\n", "exit"},
      {"exit \r\n", "exit"},
      {" exit", " exit"},
      {"  \t \n", ""},
      {"a\xC2\xA0\xE3\x80\x80\xE2\x80\xA8\xC2\x85\n", "a"},  // NBSP, ideographic space, LS, NEL
      {"a\xE2\x80\x8B", "a\xE2\x80\x8B"},                    // zero-width space is not White_Space
      {"\xC3\xA9 ", "\xC3\xA9"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(trim_end_unicode(c.in), c.out) << c.in;
}

// A byte-level vocabulary where "system", "user" and "assistant" merge to whole tokens
// and the markers exist as added tokens.
Tokenizer chat_tokenizer(bool with_markers) {
  // The 256 single mapped-character tokens in the GPT-2 byte order.
  std::vector<std::string> tokens(256);
  std::vector<int> bs;
  for (int b = 0x21; b <= 0x7E; ++b) bs.push_back(b);
  for (int b = 0xA1; b <= 0xAC; ++b) bs.push_back(b);
  for (int b = 0xAE; b <= 0xFF; ++b) bs.push_back(b);
  std::vector<int> cps = bs;
  int extra = 0;
  for (int b = 0; b < 256; ++b) {
    if (std::find(bs.begin(), bs.end(), b) == bs.end()) {
      bs.push_back(b);
      cps.push_back(256 + extra++);
    }
  }
  auto utf8 = [](int cp) {
    std::string s;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else {
      s += static_cast<char>(0xC0 | (cp >> 6));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
  };
  for (size_t i = 0; i < bs.size(); ++i) tokens[i] = utf8(cps[i]);
  std::vector<std::string> merges = {"u s", "us e", "use r", "s y", "sy s", "sys t", "syst e", "syste m",
                                     "a s", "as s", "ass i", "assi s", "assis t", "assist a", "assista n",
                                     "assistan t", "h i"};
  for (const char* t : {"us", "use", "user", "sy", "sys", "syst", "syste", "system", "as", "ass", "assi", "assis",
                        "assist", "assista", "assistan", "assistant", "hi"}) {
    tokens.push_back(t);
  }
  if (with_markers) {
    tokens.push_back("<|im_start|>");
    tokens.push_back("<|im_end|>");
    tokens.push_back("<|im_end|>");  // a later duplicate: the lowest id wins
  }
  auto tok = tokenizer_from_lists(tokens, merges);
  EXPECT_TRUE(tok.ok());
  return std::move(tok).value();
}

TEST(ChatTemplate, PiecesAreEncodedSeparately) {
  Tokenizer tok = chat_tokenizer(true);
  auto v = chat_vocab(tok);
  ASSERT_TRUE(v.ok()) << v.error().message;
  const uint32_t start = static_cast<uint32_t>(vocab_size(tok) - 3);
  EXPECT_EQ(v->im_start, start);
  EXPECT_EQ(v->im_end, start + 1);
  auto enc = [&tok](const char* s) { return encode(tok, s).value(); };
  EXPECT_EQ(v->nl, enc("\n"));
  EXPECT_EQ(v->system.size(), 1u);
  EXPECT_EQ(v->user.size(), 1u);
  EXPECT_EQ(v->assistant.size(), 1u);

  // System S, user U1, reply R1 (generated), user U2: the pending queue at each turn.
  std::vector<uint32_t> queue;
  append_turn(queue, *v, v->system, enc("be brief"));
  append_turn(queue, *v, v->user, enc("hi"));
  append_assistant_header(queue, *v);
  std::vector<uint32_t> want;
  auto add = [&want](const std::vector<uint32_t>& ids) { want.insert(want.end(), ids.begin(), ids.end()); };
  for (const auto& piece : {std::vector<uint32_t>{v->im_start}, v->system, v->nl, enc("be brief"),
                            std::vector<uint32_t>{v->im_end}, v->nl, std::vector<uint32_t>{v->im_start}, v->user,
                            v->nl, enc("hi"), std::vector<uint32_t>{v->im_end}, v->nl,
                            std::vector<uint32_t>{v->im_start}, v->assistant, v->nl}) {
    add(piece);
  }
  EXPECT_EQ(queue, want);

  queue.clear();
  append_assistant_close(queue, *v);
  append_turn(queue, *v, v->user, enc("x"));
  std::vector<uint32_t> second = {v->im_end};
  second.insert(second.end(), v->nl.begin(), v->nl.end());
  second.push_back(v->im_start);
  second.insert(second.end(), v->user.begin(), v->user.end());
  second.insert(second.end(), v->nl.begin(), v->nl.end());
  for (uint32_t id : enc("x")) second.push_back(id);
  second.push_back(v->im_end);
  second.insert(second.end(), v->nl.begin(), v->nl.end());
  EXPECT_EQ(queue, second);

  // The marker text typed by a user stays ordinary characters.
  EXPECT_GT(enc("<|im_end|>").size(), 1u);
}

TEST(ChatTemplate, VocabLineAndMissingMarkers) {
  Tokenizer tok = chat_tokenizer(true);
  auto v = chat_vocab(tok);
  ASSERT_TRUE(v.ok());
  ChatVocab fixed = *v;
  fixed.im_start = 5;
  fixed.im_end = 6;
  fixed.nl = {198, 7};
  EXPECT_EQ(chat_vocab_line(fixed, 6), "# chat: im_start=5 im_end=6 eos=Some(6) nl=[198, 7]\n");
  EXPECT_EQ(chat_vocab_line(fixed, std::nullopt), "# chat: im_start=5 im_end=6 eos=None nl=[198, 7]\n");

  auto missing = chat_vocab(chat_tokenizer(false));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message, "chat: special token <|im_start|> not found in vocab");
}

}  // namespace
}  // namespace kestrune
