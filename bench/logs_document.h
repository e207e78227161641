#pragma once
// The logs document the benchmarks parse: the shape a listing page embeds (a "data" array of
// logs, about 1.2 KB each, LogText a few hundred bytes with escapes), followed by the script
// text that follows it on the page.

#include <string>

namespace bench {

// A logs document of `count` logs, about 1 KB each (LogText a few hundred bytes with escapes).
inline std::string LogsDocument(int count) {
  std::string s = " {\"status\":\"success\",\"data\":[";
  for (int i = 0; i < count; ++i) {
    if (i) s += ',';
    const std::string id = std::to_string(100000000 + i);
    s += "{\"LogID\":" + id + ",\"CacheID\":3141592,\"LogGuid\":\"b4c5d6e7-f809-4a1b-8c2d-" + id +
         "abcd\",\"Latitude\":null,\"Longitude\":null,\"LatLonString\":\"\",\"LogType\":\"Found it\","
         "\"LogTypeImage\":\"2.png\",\"LogText\":\"";
    for (int k = 0; k < 6; ++k)
      s += "Pekn\\u00e1 prech\\u00e1dzka okolo jazera, \\\"ke\\u0161ka\\\" bola v poriadku.\\r\\n"
           "Logbook full <br \\/> TFTC! ";
    s += "\",\"Created\":\"4/2/2013\",\"Visited\":\"" + std::to_string(1 + i % 12) + "/" +
         std::to_string(1 + i % 28) +
         "/2013\",\"UserName\":\"Cacher " + std::to_string(i % 977) + "\",\"MembershipLevel\":1,\"AccountID\":" +
         std::to_string(500000 + i % 977) + ",\"AccountGuid\":\"0f1e2d3c-4b5a-6978-8796-" + id +
         "a5b4\",\"Email\":\"\",\"AvatarImage\":\"avatar.jpg\",\"GeocacheFindCount\":" + std::to_string(i % 5000) +
         ",\"GeocacheHideCount\":3,\"ChallengesCompleted\":0,\"IsEncoded\":false,"
         "\"creator\":{\"GroupTitle\":\"Premium Member\",\"GroupImageUrl\":\"\\/images\\/icons\\/prem_user.gif\"},"
         "\"Images\":[]}";
  }
  return s + "],\"pageInfo\":{\"idx\":1,\"size\":" + std::to_string(count) + "}};\r\n        ";
}

}  // namespace bench
