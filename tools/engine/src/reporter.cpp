#include "reporter.h"

namespace vtro_engine {
namespace {
thread_local size_t tErrorsOnThisThread = 0;
}  // namespace

const char* ReportPrefix(ReportKind kind) {
  switch (kind) {
    case ReportKind::Info:
      return "info: ";
    case ReportKind::Warning:
      return "warning: ";
    case ReportKind::Error:
      break;
  }
  return "error: ";
}

Reporter::Reporter(std::ostream& out) : out_(out) {}

void Reporter::Emit(int32_t kind, int32_t level, bool framework, const std::string& text) {
  const ReportKind k = (kind == 0) ? ReportKind::Info : (kind == 1) ? ReportKind::Warning : ReportKind::Error;
  Report report{k, level, framework, text};
  std::function<void(const Report&)> observer;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!status_.empty()) {
      out_ << "\r\x1b[K";
    }
    out_ << ReportPrefix(k) << text << '\n';
    if (!status_.empty()) {
      out_ << status_ << "\x1b[K";
    }
    out_.flush();
    reports_.push_back(report);
    if (k == ReportKind::Error) {
      ++errors_;
      ++tErrorsOnThisThread;
    }
    observer = observer_;
  }
  if (observer) {
    observer(report);
  }
}

void Reporter::ShowStatus(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (text.empty()) {
    if (!status_.empty()) {
      out_ << "\r\x1b[K";
    }
  } else {
    out_ << '\r' << text << "\x1b[K";
  }
  out_.flush();
  status_ = text;
}

void Reporter::Print(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!status_.empty()) {
    out_ << "\r\x1b[K";
  }
  out_ << text << '\n';
  if (!status_.empty()) {
    out_ << status_ << "\x1b[K";
  }
  out_.flush();
}

void Reporter::Trace(const std::string& text) {
  std::lock_guard<std::mutex> guard(lock_);
  if (showTraces_) {
    out_ << "trace: " << text << '\n';
    out_.flush();
  }
}

std::vector<Report> Reporter::Reports() const {
  std::lock_guard<std::mutex> guard(lock_);
  return reports_;
}

size_t Reporter::ErrorsOnThisThread() { return tErrorsOnThisThread; }

size_t Reporter::ErrorCount() const {
  std::lock_guard<std::mutex> guard(lock_);
  return errors_;
}

void Reporter::SetObserver(std::function<void(const Report&)> observer) {
  std::lock_guard<std::mutex> guard(lock_);
  observer_ = std::move(observer);
}

}  // namespace vtro_engine
