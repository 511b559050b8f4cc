#pragma once

// A 2 x 2 sheet of pictures, one per camera: cell 0 top-left, 1 top-right, 2 bottom-left, 3 bottom-right.
// Each picture is scaled to the cell (libswscale) and its cell labelled; the sheet is written as a PNG by
// libavcodec's PNG encoder. Cells without a picture stay dark grey. Move-only; not thread-safe.

#include <string>

#include "ffmpeg/handles.h"
#include "record_error.h"

namespace camera_record {

class ContactSheet {
  public:
    static constexpr int kColumns = 2;
    static constexpr int kRows = 2;
    static constexpr int kCells = kColumns * kRows;

    // An empty sheet of 2 x 2 cells of `cellWidth` x `cellHeight` pixels (even sizes).
    static RecordResult<ContactSheet> Create(int cellWidth = 640, int cellHeight = 360);

    // Scales `picture` (any format libswscale reads) into cell `position`. False when the position is out
    // of range or the picture cannot be converted.
    bool Place(int position, const AVFrame& picture);
    // Writes `text` (lower-case letters c, a, m, digits and '_') in the cell's top-left corner.
    void Label(int position, const std::string& text);

    RecordResult<void> WritePng(const std::string& path) const;

    int Width() const noexcept { return cellWidth_ * kColumns; }
    int Height() const noexcept { return cellHeight_ * kRows; }
    // The sheet as packed RGB24.
    const AVFrame& Picture() const noexcept { return *sheet_; }

  private:
    ContactSheet(int cellWidth, int cellHeight) : cellWidth_(cellWidth), cellHeight_(cellHeight) {}
    void FillRect(int x, int y, int width, int height, unsigned char value);

    int cellWidth_;
    int cellHeight_;
    ffmpeg::FramePtr sheet_;
    ffmpeg::ScaleContextPtr scaler_;
};

}  // namespace camera_record
