#include "http/content_coding.h"

#include <cctype>
#include <cstdio>

#include "runtime/ascii_text.h"

namespace http {

namespace {

class TIdentityDecoder : public THttpContentDecoder {
 public:
  void Write(std::string_view block, const TContentSink& next) override { next(block); }
};

using runtime::Trim;

// "0.###" with "." whatever the locale.
std::string QualityText(double q) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", q);
  std::string text(buf);
  for (char& c : text)
    if (c == ',') c = '.';
  while (text.back() == '0') text.pop_back();
  if (text.back() == '.') text.pop_back();
  return text;
}

}  // namespace

THttpContCodHandler::THttpContCodHandler() {
  auto identity = [] { return std::make_unique<TIdentityDecoder>(); };
  RegisterCoding("identity", 1.0, identity);
  // "*" would invite codings nobody here can decode, so it is known but never asked for.
  RegisterCoding("*", 0.0, identity);
}

void THttpContCodHandler::RegisterCoding(const std::string& name, double quality, TFactory factory) {
  FHeaderValid = false;
  for (auto& c : FCodings)
    if (runtime::EqualsNoCase(c.Name, name)) {
      c.Quality = quality;
      c.Factory = std::move(factory);
      return;
    }
  FCodings.push_back({name, quality, std::move(factory)});
}

void THttpContCodHandler::SetEnabled(bool value) {
  FEnabled = value;
  FHeaderValid = false;
}

void THttpContCodHandler::SetUseQuality(bool value) {
  FUseQuality = value;
  FHeaderValid = false;
}

const std::string& THttpContCodHandler::HeaderText() {
  if (FHeaderValid) return FHeaderText;
  FHeaderValid = true;
  FHeaderText.clear();
  if (!FEnabled) return FHeaderText;
  int usable = 0;
  for (const auto& c : FCodings) usable += c.Quality > 0;
  const bool withQuality = FUseQuality && usable >= 2;
  for (const auto& c : FCodings) {
    if (c.Quality <= 0) continue;
    if (!FHeaderText.empty()) FHeaderText += ", ";
    FHeaderText += c.Name;
    if (withQuality) FHeaderText += ";q=" + QualityText(c.Quality);
  }
  return FHeaderText;
}

void THttpContCodHandler::Prepare(const std::string& contentCoding) {
  FChain.clear();
  if (!FEnabled) return;
  std::vector<std::unique_ptr<THttpContentDecoder>> chain;
  std::string_view rest = contentCoding;
  while (!rest.empty()) {
    const size_t comma = rest.find(',');
    const std::string_view name = Trim(rest.substr(0, comma));
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    if (name.empty()) continue;
    const TCoding* found = nullptr;
    for (const auto& c : FCodings)
      if (runtime::EqualsNoCase(c.Name, name)) found = &c;
    if (!found) return;  // one unknown coding: nothing is decoded
    chain.push_back(found->Factory());
  }
  // Codings are listed in the order they were applied, so they are undone from the last.
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) FChain.push_back(std::move(*it));
}

void THttpContCodHandler::RunFrom(size_t index, std::string_view block, const TContentSink& out) {
  if (index >= FChain.size()) {
    out(block);
    return;
  }
  FChain[index]->Write(block, [&](std::string_view next) { RunFrom(index + 1, next, out); });
}

void THttpContCodHandler::FlushFrom(size_t index, const TContentSink& out) {
  if (index >= FChain.size()) return;
  FChain[index]->Flush([&](std::string_view next) { RunFrom(index + 1, next, out); });
  FlushFrom(index + 1, out);
}

void THttpContCodHandler::Write(std::string_view block, const TContentSink& out) {
  if (FChain.empty()) {
    out(block);
    return;
  }
  RunFrom(0, block, out);
}

void THttpContCodHandler::Complete(const TContentSink& out) {
  FlushFrom(0, out);
  FChain.clear();
}

}  // namespace http
