#pragma once
// The content-coding stage between the body framing and the reply stream: a table of known
// codings (only pass-through ones are registered: "identity" and "*"), the Accept-Encoding
// text built from it, and the decoder chain for one reply's Content-Encoding.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace http {

using TContentSink = std::function<void(std::string_view block)>;

// One decoding step; writes what it produces to `next`.
class THttpContentDecoder {
 public:
  virtual ~THttpContentDecoder() = default;
  virtual void Write(std::string_view block, const TContentSink& next) = 0;
  // The body has ended: write out whatever is held back.
  virtual void Flush(const TContentSink& next) {}
};

class THttpContCodHandler {
 public:
  using TFactory = std::function<std::unique_ptr<THttpContentDecoder>()>;

  THttpContCodHandler();

  // Adds (or replaces) a coding; a quality of 0 keeps it out of Accept-Encoding.
  void RegisterCoding(const std::string& name, double quality, TFactory factory);

  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);
  bool UseQuality() const { return FUseQuality; }
  void SetUseQuality(bool value);

  // The Accept-Encoding value; empty while the stage is off.
  const std::string& HeaderText();

  // Sets up the chain for a reply's Content-Encoding (a comma-separated list). With the stage
  // off, or when any name is unknown, data passes unchanged.
  void Prepare(const std::string& contentCoding);
  // True when Prepare built at least one decoder.
  bool Decoding() const { return !FChain.empty(); }
  void Write(std::string_view block, const TContentSink& out);
  void Complete(const TContentSink& out);

 private:
  struct TCoding {
    std::string Name;
    double Quality;
    TFactory Factory;
  };
  void RunFrom(size_t index, std::string_view block, const TContentSink& out);
  void FlushFrom(size_t index, const TContentSink& out);

  std::vector<TCoding> FCodings;
  std::vector<std::unique_ptr<THttpContentDecoder>> FChain;
  bool FEnabled = false;
  bool FUseQuality = false;
  bool FHeaderValid = false;
  std::string FHeaderText;
};

}  // namespace http
