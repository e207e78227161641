// Parsing and walking a logs document shaped like the one a listing page embeds, with this
// library and with nlohmann::json on the same bytes, plus the whole logs conversion.

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/logs_document.h"
#include "json/json_value.h"
#include "listing/listing_parser.h"
#include "listing/logs_to_sql.h"
#include "runtime/codepage.h"
#include "runtime/file_io.h"

namespace {

const std::string& Document() {
  static const std::string doc = bench::LogsDocument(20000);
  return doc;
}

constexpr const char16_t* kNames[] = {u"LogID",   u"AccountGuid", u"UserName", u"AccountID",
                                      u"LogGuid", u"LogText",     u"LogType",  u"Visited"};
constexpr const char* kNarrowNames[] = {"LogID",   "AccountGuid", "UserName", "AccountID",
                                        "LogGuid", "LogText",     "LogType",  "Visited"};

void BM_ParseAndWalk_Tamvirel(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    json::IJsonValue root = json::TJsonValue::ParseText(doc, true, true);
    json::TJsonArray* data = root->Lookup(u"data")->ToArray();
    size_t total = 0;
    for (int32_t i = 0; i < data->Length(); ++i) {
      json::TJsonValue* log = data->At(i);
      for (const char16_t* name : kNames) total += log->Lookup(name)->ToText().size();
      total += log->LookupText(u"creator.GroupTitle").size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

void BM_ParseAndWalk_Nlohmann(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) {
    // The same document: parse the first value and ignore the script text after it.
    nlohmann::json root;
    {
      auto first = doc.begin();
      root = nlohmann::json::parse(first, doc.begin() + static_cast<std::ptrdiff_t>(doc.rfind('}') + 1));
    }
    const nlohmann::json& data = root.at("data");
    size_t total = 0;
    for (const nlohmann::json& log : data) {
      for (const char* name : kNarrowNames) {
        const nlohmann::json& v = log.at(name);
        total += v.is_string() ? v.get_ref<const std::string&>().size() : v.dump().size();
      }
      total += log.at("creator").at("GroupTitle").get_ref<const std::string&>().size();
    }
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

void BM_Parse_Tamvirel(benchmark::State& state) {
  const std::string& doc = Document();
  for (auto _ : state) benchmark::DoNotOptimize(json::TJsonValue::ParseText(doc, true, true));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

void BM_Parse_Nlohmann(benchmark::State& state) {
  const std::string& doc = Document();
  const auto end = doc.begin() + static_cast<std::ptrdiff_t>(doc.rfind('}') + 1);
  for (auto _ : state) benchmark::DoNotOptimize(nlohmann::json::parse(doc.begin(), end));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

// The whole logs step of a page with 5,000 logs: JSON to GeocacheLogs statements.
void BM_LogsToSql_5000Logs(benchmark::State& state) {
  static const std::string doc = bench::LogsDocument(5000);
  for (auto _ : state) {
    std::vector<std::string> statements;
    listing::LogsToSql(doc, "GC1TAMV", statements);
    benchmark::DoNotOptimize(statements.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(doc.size()));
}

// The whole conversion of the sample listing page with its logs replaced by 5,000 logs:
// page file in, SQL file out.
void BM_PageConversion_5000Logs(benchmark::State& state) {
  std::string page = runtime::ReadWholeFile(std::string(TAMVIREL_EXAMPLES) + "/GC1TAMV.htm");
  const size_t at = page.find("initalLogs = ");
  const size_t end = page.find("//]]>", at);
  if (at == std::string::npos || end == std::string::npos) {
    state.SkipWithError("sample page without logs");
    return;
  }
  page.replace(at + 13, end - at - 13, bench::LogsDocument(5000).substr(1));
  char folder[] = "/tmp/json_bench_XXXXXX";
  if (mkdtemp(folder) == nullptr) {
    state.SkipWithError("no temporary folder");
    return;
  }
  const std::string data = std::string(folder) + "/";
  std::filesystem::create_directories(data + "tmp");
  runtime::WriteFileAtomic(data + "tmp/htmlcopy.htm", page);
  listing::TListingParser parser;
  parser.DataFolder = data;
  bool ok = true;
  for (auto _ : state) ok = parser.ParseListing() && ok;
  if (!ok) state.SkipWithError("conversion failed");
  std::filesystem::remove_all(folder);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(page.size()));
}

BENCHMARK(BM_ParseAndWalk_Tamvirel)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ParseAndWalk_Nlohmann)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Parse_Tamvirel)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Parse_Nlohmann)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LogsToSql_5000Logs)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_PageConversion_5000Logs)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
