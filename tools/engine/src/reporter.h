// Reports of the engine and its components: one line each on standard output
// (or another stream), "info: ", "warning: " or "error: " followed by the
// text. Lines are written whole, so reports of several threads never mix.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace vtro_engine {

enum class ReportKind : int32_t { Info = 0, Warning = 1, Error = 2 };

struct Report {
  ReportKind kind;
  int32_t level;
  bool framework;
  std::string text;
};

const char* ReportPrefix(ReportKind kind);

class Reporter {
 public:
  explicit Reporter(std::ostream& out);

  // Kinds outside 0..2 are shown as errors; traces are not shown unless asked.
  void Emit(int32_t kind, int32_t level, bool framework, const std::string& text);
  void Trace(const std::string& text);
  // A plain line (no kind prefix, not kept as a report), e.g. the summary.
  void Print(const std::string& text);
  void SetShowTraces(bool show) { showTraces_ = show; }
  bool ShowsTraces() const { return showTraces_; }

  // Keeps a copy of every report (tests and the run summary read them).
  std::vector<Report> Reports() const;
  size_t ErrorCount() const;
  // Errors reported so far from the calling thread (by any reporter): a
  // component that refuses a value or an action while the engine calls it
  // reports on the engine's thread, whatever other threads report meanwhile.
  static size_t ErrorsOnThisThread();
  // Called with each report after it was printed (outside the lock).
  void SetObserver(std::function<void(const Report&)> observer);
  // A live status line at the bottom of a terminal: shown with a carriage
  // return and no newline; a report clears it, prints its own line and shows
  // it again. An empty text removes it.
  void ShowStatus(const std::string& text);

 private:
  std::ostream& out_;
  mutable std::mutex lock_;
  std::vector<Report> reports_;
  size_t errors_ = 0;
  std::atomic<bool> showTraces_{false};
  std::function<void(const Report&)> observer_;
  std::string status_;  // the status line on show, "" for none
};

}  // namespace vtro_engine
