#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive_core/archive_catalogue.h"

// When an archive was recorded, as local OLE dates.
struct ArchiveTimes {
    double first_day = 0.0;
    double last_day = 0.0;
};
// Its first record's time and its trailer's, where the file has them (two small reads, the
// records between are not walked), else its file's creation and last write; nothing for an
// entry without times (a folder, an entry that cannot be examined).
std::optional<ArchiveTimes> ReadArchiveTimes(const std::string& path);

// One archive on a day strip, from its first record to its last.
struct TimelineBlock {
    std::string full_path;
    std::string name;
    ArchiveTimes times;
    double start_of_day_s = 0.0;  // from the day's midnight, within 0 .. 24 h
    double end_of_day_s = 0.0;
    bool is_pinned = false;
};

struct TimelineDay {
    DayDate day;
    std::vector<TimelineBlock> blocks;  // by start
};

// A strip per day folder the rows come from, in date order, with a block for every row that
// has times (ReadArchiveTimes), placed on its strip by its local time of day.
std::vector<TimelineDay> BuildTimelineDays(const std::vector<CatalogueRow>& rows);

// The part of the 24 hours on show across a strip's width in pixels.
class TimelineScale {
public:
    static constexpr double kDaySeconds = 86400.0;
    static constexpr double kMinSpanSeconds = 60.0;  // zoomed in as far as one minute

    void SetWidth(double width_px);
    double Width() const { return width_px_; }
    double FirstSecond() const { return first_s_; }
    double SpanSeconds() const { return span_s_; }

    double XOf(double second_of_day) const;
    double SecondAt(double x) const;
    // factor > 1 zooms in, keeping the time under x where it is; the span on show stays within the day.
    void ZoomAround(double x, double factor);
    // Moves the hours on show by dx pixels (positive: earlier hours come into view).
    void Pan(double dx_px);

private:
    void Clamp();

    double width_px_ = 1.0;
    double first_s_ = 0.0;
    double span_s_ = kDaySeconds;
};

// The block of day under x, drawn at least min_block_px wide; where blocks overlap, the one
// drawn last (the later start).
std::optional<size_t> BlockAt(const TimelineDay& day, const TimelineScale& scale, double x, double min_block_px);
