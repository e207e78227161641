// Our JSON library against nlohmann::json, RapidJSON and simdjson on the logs document a
// listing page embeds, in one process, interleaved round by round, with the same walk: parse,
// take "data", and read eight members of every log (and creator.GroupTitle) as text, the way
// the logs conversion does. Before timing, the four walks must read the same texts.
//
// Per library and document size it reports medians over the rounds: parse + walk in MB/s of
// document, the walk alone in MB/s, the time to free the tree, and (large document) the peak
// of heap bytes in use while parsing and walking, counted by the allocation hooks below.
//
//   json_compare [rounds] [cpu]   (default 9 rounds, wall-clock time)
//
// With "cpu" the steps are timed by the thread's CPU time instead: on a machine shared with
// other work, wall-clock time also counts the waits for a free core.

#include <malloc.h>
#include <rapidjson/document.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <simdjson.h>
#include <string>
#include <vector>

#include "bench/logs_document.h"
#include "json/json_value.h"
#include "runtime/codepage.h"

// ----- heap accounting ----------------------------------------------------------------------
// Every allocation of the process passes through these, so all four libraries (RapidJSON
// uses malloc, the others operator new) are counted alike: bytes in use and their peak.

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {
std::atomic<int64_t> gInUse{0};
std::atomic<int64_t> gPeak{0};

void Count(void* p) {
  if (!p) return;
  const int64_t now = gInUse.fetch_add(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed) +
                      static_cast<int64_t>(malloc_usable_size(p));
  int64_t peak = gPeak.load(std::memory_order_relaxed);
  while (now > peak && !gPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}
void Uncount(void* p) {
  if (p) gInUse.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(size_t n) {
  void* p = __libc_malloc(n);
  Count(p);
  return p;
}
void* calloc(size_t n, size_t size) {
  void* p = __libc_calloc(n, size);
  Count(p);
  return p;
}
void* realloc(void* old, size_t n) {
  Uncount(old);
  void* p = __libc_realloc(old, n);
  Count(p ? p : (n ? old : nullptr));
  return p;
}
void free(void* p) {
  Uncount(p);
  __libc_free(p);
}
void* memalign(size_t align, size_t n) {
  void* p = __libc_memalign(align, n);
  Count(p);
  return p;
}
void* aligned_alloc(size_t align, size_t n) { return memalign(align, n); }
int posix_memalign(void** out, size_t align, size_t n) {
  void* p = memalign(align, n);
  if (!p) return 12;  // ENOMEM
  *out = p;
  return 0;
}
}

namespace {

bool gCpuTime = false;

// Now, in milliseconds, by the chosen clock.
double NowMs() {
  if (gCpuTime) {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
  }
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

constexpr const char* kNames[] = {"LogID", "AccountGuid", "UserName", "AccountID",
                                  "LogGuid", "LogText", "LogType", "Visited"};
constexpr const char16_t* kWideNames[] = {u"LogID", u"AccountGuid", u"UserName", u"AccountID",
                                          u"LogGuid", u"LogText", u"LogType", u"Visited"};

// What a walk does with every text it reads: a running sum for timing, or (checking) a copy
// of every text in UTF-8.
struct TSink {
  std::vector<std::string>* Texts = nullptr;
  size_t Total = 0;
  void Take(const std::string& text, bool ansi) {
    Total += text.size();
    if (Texts) Texts->push_back(ansi ? runtime::AnsiToUtf8(text) : text);
  }
};

void NumberText(std::string& out, int64_t i) {
  char buf[24];
  out.assign(buf, std::to_chars(buf, buf + sizeof buf, i).ptr);
}

// ----- the four libraries ---------------------------------------------------------------------

struct TOurs {
  static constexpr const char* kName = "ours";
  json::IJsonValue Root;
  void Parse(const std::string& doc) {
    Root = json::TJsonValue::ParseText(doc, true, true);
  }
  void Walk(TSink& sink) {
    std::string text;
    json::TJsonArray* data = Root->Lookup(u"data")->ToArray();
    // As the logs conversion reads them: members found in each log's table.
    for (int32_t i = 0; i < data->Length(); ++i) {
      json::TJsonMemberTable* log = data->At(i)->ToObjectTable();
      for (const char16_t* name : kWideNames) {
        json::TJsonValue* v = log->Find(name);
        if (v->Kind() == json::vkString)
          v->StringAnsi(text);
        else
          text = runtime::WideToAnsi(v->ToText());
        sink.Take(text, true);
      }
      json::TJsonValue* g = log->Find(u"creator")->ToObjectTable()->Find(u"GroupTitle");
      g->StringAnsi(text);
      sink.Take(text, true);
    }
  }
  void Free() { Root.Reset(); }
};

struct TNlohmann {
  static constexpr const char* kName = "nlohmann";
  nlohmann::json Root;
  void Parse(const std::string& doc) { Root = nlohmann::json::parse(doc.begin(), doc.begin() + JsonEnd(doc)); }
  static std::ptrdiff_t JsonEnd(const std::string& doc) { return static_cast<std::ptrdiff_t>(doc.rfind('}') + 1); }
  void Walk(TSink& sink) {
    std::string text;
    for (const nlohmann::json& log : Root.at("data")) {
      for (const char* name : kNames) {
        const nlohmann::json& v = log.at(name);
        if (v.is_string())
          text = v.get_ref<const std::string&>();
        else if (v.is_number_integer())
          NumberText(text, v.get<int64_t>());
        else
          text = v.dump();
        sink.Take(text, false);
      }
      text = log.at("creator").at("GroupTitle").get_ref<const std::string&>();
      sink.Take(text, false);
    }
  }
  void Free() { Root = nullptr; }
};

struct TRapid {
  static constexpr const char* kName = "RapidJSON";
  std::unique_ptr<rapidjson::Document> Root;
  void Parse(const std::string& doc) {
    Root = std::make_unique<rapidjson::Document>();
    Root->Parse<rapidjson::kParseStopWhenDoneFlag>(doc.data(), doc.size());
    if (Root->HasParseError()) std::abort();
  }
  void Walk(TSink& sink) {
    std::string text;
    const rapidjson::Value& data = (*Root)["data"];
    for (const rapidjson::Value& log : data.GetArray()) {
      for (const char* name : kNames) {
        const rapidjson::Value& v = log[name];
        if (v.IsString())
          text.assign(v.GetString(), v.GetStringLength());
        else if (v.IsInt64())
          NumberText(text, v.GetInt64());
        else
          std::abort();  // the document has no other kinds under these names
        sink.Take(text, false);
      }
      const rapidjson::Value& g = log["creator"]["GroupTitle"];
      text.assign(g.GetString(), g.GetStringLength());
      sink.Take(text, false);
    }
  }
  void Free() { Root.reset(); }
};

struct TSimd {
  static constexpr const char* kName = "simdjson";
  std::unique_ptr<simdjson::dom::parser> Parser;
  simdjson::dom::element Root;
  // simdjson reads a padded copy and rejects text after the value: it gets the value alone.
  static simdjson::padded_string& Padded(const std::string& doc) {
    static std::map<const std::string*, simdjson::padded_string> copies;
    auto it = copies.find(&doc);
    if (it == copies.end())
      it = copies.emplace(&doc, simdjson::padded_string(doc.data(), static_cast<size_t>(TNlohmann::JsonEnd(doc)))).first;
    return it->second;
  }
  void Parse(const std::string& doc) {
    Parser = std::make_unique<simdjson::dom::parser>();
    if (Parser->parse(Padded(doc)).get(Root)) std::abort();
  }
  void Walk(TSink& sink) {
    std::string text;
    simdjson::dom::array data;
    if (Root["data"].get(data)) std::abort();
    for (simdjson::dom::element log : data) {
      for (const char* name : kNames) {
        simdjson::dom::element v;
        if (log[name].get(v)) std::abort();
        std::string_view s;
        int64_t i;
        if (!v.get(s))
          text = s;
        else if (!v.get(i))
          NumberText(text, i);
        else
          std::abort();
        sink.Take(text, false);
      }
      std::string_view s;
      if (log["creator"]["GroupTitle"].get(s)) std::abort();
      text = s;
      sink.Take(text, false);
    }
  }
  void Free() {
    Root = {};
    Parser.reset();
  }
};

// ----- measuring --------------------------------------------------------------------------------

struct TSample {
  double ParseWalkMs = 0, WalkMs = 0, FreeMs = 0;
};

template <typename TLib>
std::vector<std::string> Texts(const std::string& doc) {
  std::vector<std::string> texts;
  TLib lib;
  lib.Parse(doc);
  TSink sink{&texts};
  lib.Walk(sink);
  lib.Free();
  return texts;
}

// One round: `repeat` times parse, walk, free; the sums of each step.
template <typename TLib>
TSample Round(const std::string& doc, int repeat) {
  TSample s;
  for (int r = 0; r < repeat; ++r) {
    TLib lib;
    TSink sink;
    const double t0 = NowMs();
    lib.Parse(doc);
    lib.Walk(sink);
    const double t2 = NowMs();
    lib.Free();
    const double t3 = NowMs();
    if (sink.Total == 0) std::abort();
    s.ParseWalkMs += t2 - t0;
    // The walk alone, a second time, now that the first walk has paid for anything lazy.
    lib.Parse(doc);
    const double t4 = NowMs();
    lib.Walk(sink);
    s.WalkMs += NowMs() - t4;
    lib.Free();
    s.FreeMs += t3 - t2;
  }
  return s;
}

// Heap bytes in use at the peak of one parse and walk, above what was in use before.
template <typename TLib>
int64_t PeakBytes(const std::string& doc) {
  const int64_t before = gInUse.load();
  gPeak.store(before);
  {
    TLib lib;
    TSink sink;
    lib.Parse(doc);
    lib.Walk(sink);
    lib.Free();
  }
  return gPeak.load() - before;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

struct TResult {
  std::vector<double> ParseWalk, Walk, Free;
  int64_t Peak = 0;
};

template <typename TLib>
void Add(TResult& r, const std::string& doc, int repeat) {
  const TSample s = Round<TLib>(doc, repeat);
  r.ParseWalk.push_back(s.ParseWalkMs / repeat);
  r.Walk.push_back(s.WalkMs / repeat);
  r.Free.push_back(s.FreeMs / repeat);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
  gCpuTime = argc > 2 && std::string(argv[2]) == "cpu";
  struct TDoc {
    int Logs;
    int Repeat;
    std::string Text;
  } docs[] = {{100, 100, bench::LogsDocument(100)}, {20000, 1, bench::LogsDocument(20000)}};
  constexpr const char* kLibs[] = {TOurs::kName, TNlohmann::kName, TRapid::kName, TSimd::kName};

  // Peaks first, ours before anything else has run: the library keeps nothing from an
  // earlier parse that a later one could reuse unseen.
  TDoc& large = docs[1];
  TSimd::Padded(large.Text);
  const int64_t peaks[4] = {PeakBytes<TOurs>(large.Text), PeakBytes<TNlohmann>(large.Text),
                            PeakBytes<TRapid>(large.Text), PeakBytes<TSimd>(large.Text)};

  for (TDoc& d : docs) {
    TSimd::Padded(d.Text);
    const auto ours = Texts<TOurs>(d.Text);
    if (ours != Texts<TNlohmann>(d.Text) || ours != Texts<TRapid>(d.Text) || ours != Texts<TSimd>(d.Text)) {
      std::fprintf(stderr, "the libraries read different texts from the %d-log document\n", d.Logs);
      return 1;
    }
    std::printf("%d logs, %.2f MB: every library reads the same %zu texts\n", d.Logs, d.Text.size() / 1e6,
                ours.size());
  }

  for (TDoc& d : docs) {
    TResult results[4];
    if (&d == &large)
      for (int i = 0; i < 4; ++i) results[i].Peak = peaks[i];
    for (int r = 0; r < rounds; ++r) {
      Add<TOurs>(results[0], d.Text, d.Repeat);
      Add<TNlohmann>(results[1], d.Text, d.Repeat);
      Add<TRapid>(results[2], d.Text, d.Repeat);
      Add<TSimd>(results[3], d.Text, d.Repeat);
    }
    const double mb = d.Text.size() / 1e6;
    const double rapid = mb / (Median(results[2].ParseWalk) / 1000);
    std::printf("\n%d logs (%.2f MB), medians of %d rounds, %s time\n", d.Logs, mb, rounds,
                gCpuTime ? "thread CPU" : "wall-clock");
    std::printf("%-10s %14s %8s %12s %10s %16s\n", "library", "parse+walk MB/s", "vs Rapid", "walk MB/s", "free ms",
                "peak MiB (+doc)");
    for (int i = 0; i < 4; ++i) {
      const double pw = mb / (Median(results[i].ParseWalk) / 1000);
      std::printf("%-10s %14.0f %8.2f %12.0f %10.3f", kLibs[i], pw, pw / rapid, mb / (Median(results[i].Walk) / 1000),
                  Median(results[i].Free));
      if (results[i].Peak)
        std::printf(" %7.1f (%5.1f)", results[i].Peak / 1048576.0, (results[i].Peak + d.Text.size()) / 1048576.0);
      std::printf("\n");
    }
  }
  return 0;
}
