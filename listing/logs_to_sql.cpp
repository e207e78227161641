#include "listing/logs_to_sql.h"

#include "json/json_value.h"
#include "listing/text_ops.h"
#include "runtime/codepage.h"

namespace listing {

namespace {

constexpr char kNotJson[] = "The logs are not JSON";
constexpr char kNoData[] = "The logs have no data array";
constexpr char kMissingMember[] = "A log lacks the member ";

constexpr std::string_view kPrefix =
    "Insert or replace into GeocacheLogs(Id,Code,GcCode,PublicGuid,UserId,UserName,Guid,LogText,WptLogTypeName,"
    "VisitDate,IsArchived) Values ('";

// The members read from every log, in the order they are read.
enum TMember { LogID, AccountGuid, UserName, AccountID, LogGuid, LogText, LogType, Visited, kMemberCount };
constexpr std::u16string_view kMemberNames[kMemberCount] = {u"LogID",   u"AccountGuid", u"UserName", u"AccountID",
                                                            u"LogGuid", u"LogText",     u"LogType",  u"Visited"};

// An integer literal: an optional "-" and at least one digit. Only such a text may stand in
// the statement without apostrophes.
bool IsIntegerLiteral(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

void LogsToSql(std::string_view logs, const std::string& code, std::vector<std::string>& statements) {
  json::IJsonValue root = json::TJsonValue::ParseText(logs, true, true);
  if (!root) throw ELogsError(kNotJson);
  json::IJsonValue data = root->Lookup(u"data");
  json::TJsonArray* logList = data ? data->ToArray() : nullptr;
  if (logList == nullptr) throw ELogsError(kNoData);

  const std::string quotedCode = SqlQuote(code);
  std::vector<std::string> made;
  made.reserve(static_cast<size_t>(logList->Length()));
  std::string texts[kMemberCount];
  for (int32_t i = 0; i < logList->Length(); ++i) {
    // The members are only read here, while the tree holds them: no reference is taken.
    json::TJsonValue* log = logList->At(i);
    json::TJsonMemberTable* members = log ? log->ToObjectTable() : nullptr;
    for (int m = 0; m < kMemberCount; ++m) {
      json::TJsonValue* member = members ? members->Find(kMemberNames[m]) : nullptr;
      if (!member) throw ELogsError(kMissingMember + runtime::WideToAnsi(kMemberNames[m]));
      if (member->Kind() == json::vkString)
        member->StringAnsi(texts[m]);
      else
        texts[m] = runtime::WideToAnsi(member->ToText());
    }
    // Every value between apostrophes is quoted, and the one value written bare must be a
    // number, so no page can end a value early and add SQL of its own.
    const std::string& accountId = texts[AccountID];
    std::string userId;
    if (IsIntegerLiteral(accountId))
      userId = accountId;
    else
      userId.append("'").append(SqlQuote(accountId)).append("'");

    std::string s;
    s.reserve(kPrefix.size() + 160 + texts[LogText].size());
    s.append(kPrefix);
    s.append(SqlQuote(texts[LogID])).append("','");
    s.append(quotedCode).append("','");
    s.append(quotedCode).append("','");
    s.append(SqlQuote(texts[AccountGuid])).append("',");
    s.append(userId).append(",'");
    s.append(SqlQuote(texts[UserName])).append("','");
    s.append(SqlQuote(texts[LogGuid])).append("','");
    s.append(SqlQuote(texts[LogText])).append("','");
    s.append(SqlQuote(texts[LogType])).append("','");
    s.append(SqlQuote(LogVisitDate(texts[Visited]))).append("','false')");
    made.push_back(EscapeLineBreaks(s));
  }
  for (std::string& s : made) statements.push_back(std::move(s));
}

}  // namespace listing
