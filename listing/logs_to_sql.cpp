#include "listing/logs_to_sql.h"

#include <optional>

#include "json/json_value.h"
#include "listing/sql_output.h"
#include "listing/text_ops.h"
#include "runtime/codepage.h"

namespace listing {

namespace {

constexpr char kNotJson[] = "The logs are not JSON";
constexpr char kNoData[] = "The logs have no data array";
constexpr char kMissingMember[] = "A log lacks the member ";

// The members read from every log, in the order they are read.
enum TMember { LogID, AccountGuid, UserName, AccountID, LogGuid, LogText, LogType, Visited, kMemberCount };
constexpr std::u16string_view kMemberNames[kMemberCount] = {u"LogID",   u"AccountGuid", u"UserName", u"AccountID",
                                                            u"LogGuid", u"LogText",     u"LogType",  u"Visited"};

// The "data" array of the logs text, or ELogsError.
json::TJsonArray* LogList(const json::IJsonValue& root) {
  if (!root) throw ELogsError(kNotJson);
  json::IJsonValue data = root->Lookup(u"data");
  json::TJsonArray* logList = data ? data->ToArray() : nullptr;
  if (logList == nullptr) throw ELogsError(kNoData);
  return logList;
}

// The member `m` of the log at `i`, or ELogsError. The tree holds it: no reference is taken.
json::TJsonValue* Member(json::TJsonArray* logList, int32_t i, int m) {
  json::TJsonValue* log = logList->At(i);
  json::TJsonMemberTable* members = log ? log->ToObjectTable() : nullptr;
  json::TJsonValue* member = members ? members->Find(kMemberNames[m]) : nullptr;
  if (!member) throw ELogsError(kMissingMember + runtime::WideToAnsi(kMemberNames[m]));
  return member;
}

}  // namespace

void LogsToRows(std::string_view logs, const std::string& code, std::vector<TLogRow>& rows) {
  json::IJsonValue root = json::TJsonValue::ParseText(logs, true, true);
  json::TJsonArray* logList = LogList(root);
  std::vector<TLogRow> made(static_cast<size_t>(logList->Length()));
  std::string texts[kMemberCount];
  for (int32_t i = 0; i < logList->Length(); ++i) {
    for (int m = 0; m < kMemberCount; ++m) {
      json::TJsonValue* member = Member(logList, i, m);
      if (member->Kind() == json::vkString)
        member->StringAnsi(texts[m]);
      else
        texts[m] = runtime::WideToAnsi(member->ToText());
    }
    TLogRow& row = made[static_cast<size_t>(i)];
    row.Id = texts[LogID];
    row.Code = code;
    row.GcCode = code;
    row.PublicGuid = texts[AccountGuid];
    row.UserId = texts[AccountID];
    row.UserName = texts[UserName];
    row.Guid = texts[LogGuid];
    row.LogText = texts[LogText];
    row.WptLogTypeName = texts[LogType];
    row.VisitDate = LogVisitDate(texts[Visited]);
    row.IsArchived = "false";
  }

  // The page's bytes are UTF-8: read so, the texts keep every character, escaped or not. A string
  // whose bytes are the page's own (escapes of ASCII characters only, as the site writes them) is
  // that UTF-8 already; only a text with another escape needs the logs read again as UTF-8. The
  // structure is the same there (a byte that is no UTF-8 becomes one character), so every member
  // read above is found again.
  json::IJsonValue wide;
  json::TJsonArray* wideList = nullptr;
  std::u16string scratch;
  for (int32_t i = 0; i < logList->Length(); ++i) {
    TLogRow& row = made[static_cast<size_t>(i)];
    for (auto [m, into] : {std::pair{UserName, &row.UserNameUtf8}, std::pair{LogText, &row.LogTextUtf8},
                           std::pair{LogType, &row.WptLogTypeNameUtf8}}) {
      json::TJsonValue* member = Member(logList, i, m);
      if (member->Kind() != json::vkString) {
        *into = runtime::WideToUtf8(member->ToText());
        continue;
      }
      if (const std::optional<std::string_view> bytes = member->StringSourceBytes()) {
        *into = runtime::IsUtf8(*bytes) ? std::string(*bytes) : runtime::WideToUtf8(runtime::Utf8ToWide(*bytes));
        continue;
      }
      if (wideList == nullptr) {
        wide = json::TJsonValue::ParseText(runtime::Utf8ToWide(logs), true, true);
        wideList = LogList(wide);
      }
      if (i >= wideList->Length()) continue;
      json::TJsonValue* same = Member(wideList, i, m);
      *into = runtime::WideToUtf8(same->Kind() == json::vkString ? same->StringUnits(scratch)
                                                                : std::u16string_view(scratch = same->ToText()));
    }
  }
  for (TLogRow& row : made) rows.push_back(std::move(row));
}

void LogsToSql(std::string_view logs, const std::string& code, std::vector<std::string>& statements) {
  std::vector<TLogRow> rows;
  LogsToRows(logs, code, rows);
  for (const TLogRow& row : rows) statements.push_back(GeocacheLogsStatement(row));
}

}  // namespace listing
