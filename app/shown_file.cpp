#include "app/shown_file.h"

#include <algorithm>

#include "capture/files/capture_file_loader.h"

ShownFile::ShownFile() = default;

ShownFile::~ShownFile() = default;

void ShownFile::Show(std::unique_ptr<CaptureFileLoader> loader, const QString& name) {
  loader_ = std::move(loader);
  frames_ = loader_->Frames();
  interfaces_ = loader_->Interfaces();
  name_ = name;
}

void ShownFile::Forget() {
  frames_.reset();
  interfaces_.clear();
  name_.clear();
}

const FrameSource* ShownFile::Frames() const { return frames_.get(); }

QString ShownFile::Title(std::int64_t packets) const {
  return QStringLiteral("Orrisvane is showing %1 - %2 packets").arg(name_).arg(static_cast<long long>(packets));
}

int ShownFile::LoadPercent() const {
  const std::uint64_t total = std::max<std::uint64_t>(loader_->FileBytes(), 1);
  return static_cast<int>(std::min<std::uint64_t>(loader_->BytesRead() * 100 / total, 100));
}

std::unique_ptr<CaptureFileLoader> ShownFile::TakeLoader() { return std::move(loader_); }
