#pragma once
// The capture file whose rows the list shows: its frames (the details dialog and saving
// read them), its name for the title, and its load while the frames are read into the list.

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "capture/formats/frame_file.h"

class CaptureFileFrames;
class CaptureFileLoader;
class FrameSource;

class ShownFile {
 public:
  ShownFile();
  ~ShownFile();

  // Shows the file an opened loader reads; its frames stay until Forget.
  void Show(std::unique_ptr<CaptureFileLoader> loader, const QString& name);
  // The list no longer shows the file.
  void Forget();
  bool IsShown() const { return frames_ != nullptr; }
  const FrameSource* Frames() const;
  // The file's interfaces when it has several (see CaptureFileLoader::Interfaces).
  const std::vector<frame_file::FileInterface>& Interfaces() const { return interfaces_; }
  const QString& Name() const { return name_; }
  // "Orrisvane is showing NAME - N packets", N the frames read: past "Keep at most N rows"
  // the list holds only the last of them.
  QString Title(std::int64_t packets) const;

  // The file is being read into the list.
  bool IsLoading() const { return loader_ != nullptr; }
  CaptureFileLoader& Loader() { return *loader_; }
  // How much of the file was read, 0 to 100.
  int LoadPercent() const;
  // The load ends; the loader is handed over to be waited for.
  std::unique_ptr<CaptureFileLoader> TakeLoader();

 private:
  std::unique_ptr<CaptureFileLoader> loader_;
  std::shared_ptr<const CaptureFileFrames> frames_;
  QString name_;
  std::vector<frame_file::FileInterface> interfaces_;
};
