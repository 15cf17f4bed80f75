#include "recorder/encoding_recorder.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

#include "archive/archive_writer.h"
#include "jpeg/camera_rows.h"
#include "jpeg/jpeg_codec.h"
#include "jpeg/jpeg_quality_plan.h"
#include "jpeg/jpeg_stream.h"
#include "recorder/encode_pool.h"

namespace {

// Frames in flight beyond one per worker: room for the camera's jitter, and for the writer.
constexpr int kSpareJobs = 3;

const std::string kNothingToStore = "frame not stored: it came with nothing to store it from";
const std::string kNoFile;

// What the writer is asked between frames besides a close.
constexpr int kWriteHeldMark = 1;  // value: from when on the held frames are stored
constexpr int kLetGoOfHeldMark = 2;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One worker's coders.
struct WorkerCoders {
    RawJpegEncoder raw;
    CCameraRows camera_rows;
    TurboJpegHandle compressor;
};

}  // namespace

struct CEncodingRecorder::Impl {
    explicit Impl(std::string folder) : writer(std::move(folder)), capture_stamps(&writer.Clock()) {}

    // Before the pool: what is queued is written before the writer goes.
    CArchiveWriter writer;
    std::function<void(const RecordOutcome&)> on_outcome;
    // Without workers the frame is written when Submit returns: what became of it, and of a close.
    bool was_last_write_ok = true;
    bool was_last_close_ok = true;

    // Encoding on other threads. The pool goes first when the object goes.
    std::vector<std::unique_ptr<WorkerCoders>> coders;
    JpegQualityPlan quality_plan;
    std::atomic<int64_t> frames_encoded{0};
    std::atomic<int64_t> encodes{0};
    std::atomic<int64_t> dropped{0};
    // The recording thread's side: stamps taken as frames come, the job lent to the pass.
    RecordStampClock capture_stamps;
    bool is_capture_episode_open = false;
    std::atomic<bool> waits_for_encoders{false};
    EncodeJob* lent = nullptr;
    JpegPlaneRoom lent_room;
    std::unique_ptr<CEncodePool> pool;

    // Frames held before an event: the writer's while encoders run, else the recording thread's.
    CPreRollBuffer held;
    std::atomic<int64_t> held_span_ms{0};
    std::atomic<uint64_t> held_bytes{0};
    std::atomic<bool> is_held_shortened{false};
    std::atomic<int64_t> held_count{0};
    std::atomic<int64_t> holds_written{0};  // held jobs the writer has taken
    int64_t holds_submitted = 0;            // recording thread

    void Tell(RecordOutcome::Kind kind, bool is_ok, int quality = 0, uint32_t bytes = 0, int32_t width = 0,
              int32_t height = 0, bool is_recording_thread = false, const std::string* reason = nullptr) const;
    // A drop, or a frame with nothing to store, told on the recording thread while the writer runs.
    void TellFromRecordingThread(RecordOutcome::Kind kind, int32_t width, int32_t height,
                                 const std::string* reason = nullptr);
    bool IsWritingHere() const { return pool->WorkerCount() == 0; }
    // Queues the job; without workers it is written now, and the answer is whether it was stored.
    bool Submit(EncodeJob* job);
    double CaptureStamp();
    void ReturnLent();
    // A job for the frame, its input kept (planes lent to the pass need no copy); null when the
    // frame was dropped or has nothing to store, told as such.
    EncodeJob* TakeJob(const CleanFrame& frame);
    // The held frames: one more, those from from_ms on stored, and what they now come to.
    void Hold(HeldFrame frame, int64_t keep_from_ms);
    int64_t WriteHeld(int64_t from_ms);
    void PublishHeld();
    void Encode(EncodeJob& job, int worker);
    void EncodeAtFittingQuality(EncodeJob& job, WorkerCoders& worker_coders);
    uint32_t EncodePicture(EncodeJob& job, WorkerCoders& worker_coders, int quality);
    void Write(EncodeJob* job, const WriterMark& mark);
};

// ---------------------------------------------------------------- writing

void CEncodingRecorder::Impl::TellFromRecordingThread(RecordOutcome::Kind kind, int32_t width, int32_t height,
                                                      const std::string* reason) {
    if (!IsWritingHere()) {
        Tell(kind, false, 0, 0, width, height, true, reason);
        return;
    }
    // No workers: this thread is the writer's, whose last error says why.
    was_last_write_ok = false;
    if (kind == RecordOutcome::Kind::kFailed) writer.Fail(reason != nullptr ? *reason : kNothingToStore);
    Tell(kind, false, 0, 0, width, height);
}

// Not const: the job goes on to the pool, which writes it (and this object's record of it).
// NOLINTNEXTLINE(readability-make-member-function-const)
bool CEncodingRecorder::Impl::Submit(EncodeJob* job) {
    pool->Submit(job);
    return !IsWritingHere() || was_last_write_ok;
}

void CEncodingRecorder::Impl::Tell(RecordOutcome::Kind kind, bool is_ok, int quality, uint32_t bytes, int32_t width,
                                   int32_t height, bool is_recording_thread, const std::string* reason) const {
    if (!on_outcome) return;
    RecordOutcome outcome;
    outcome.kind = kind;
    outcome.is_ok = is_ok;
    // What the recording thread tells touches nothing the writer owns: no open path (null) and
    // no last error.
    const bool is_from_writer = !is_recording_thread;
    outcome.open_path = !is_from_writer ? nullptr : writer.IsOpen() ? &writer.GetPath() : &kNoFile;
    const std::string* recording_thread_reason = reason != nullptr ? reason : &kNothingToStore;
    outcome.cause = is_from_writer ? &writer.GetLastErrorCause() : recording_thread_reason;
    outcome.detail = is_from_writer ? &writer.GetLastError() : recording_thread_reason;
    outcome.quality = quality;
    outcome.bytes = bytes;
    outcome.width = width;
    outcome.height = height;
    on_outcome(outcome);
}

double CEncodingRecorder::Impl::CaptureStamp() {
    if (!is_capture_episode_open) {
        capture_stamps.StartFile();
        is_capture_episode_open = true;
    }
    return capture_stamps.NextRecordStamp();
}

void CEncodingRecorder::Impl::ReturnLent() {
    if (lent != nullptr) pool->Release(lent);
    lent = nullptr;
}

uint32_t CEncodingRecorder::Impl::EncodePicture(EncodeJob& job, WorkerCoders& worker_coders, int quality) {
    if (!worker_coders.compressor) {
        worker_coders.compressor = TurboJpegHandle(tjInitCompress());
        if (!worker_coders.compressor) {
            job.error = std::string("frame not stored: tjInitCompress: ") + tjGetErrorStr2(nullptr);
            return 0;
        }
    }
    const unsigned long bound = tjBufSize(job.width, job.height, TJSAMP_420);
    if (job.jpeg.size() < bound) job.jpeg.resize(bound);
    unsigned char* target = job.jpeg.data();
    unsigned long size = job.jpeg.size();
    if (tjCompress2(worker_coders.compressor.Get(),
                    job.borrowed_input != nullptr ? job.borrowed_input : job.input.data(), job.width, 0, job.height,
                    TJPF_BGR, &target, &size, TJSAMP_420, quality, TJFLAG_NOREALLOC) != 0) {
        job.error = std::string("frame not stored: tjCompress2: ") + tjGetErrorStr2(worker_coders.compressor.Get());
        return 0;
    }
    return static_cast<uint32_t>(size);
}

void CEncodingRecorder::Impl::Encode(EncodeJob& job, int worker) {
    job.error.clear();
    job.encodes = 0;
    if (job.kind == EncodeJob::Kind::kCameraJpeg) {
        if (job.jpeg.size() < kJpegBufferSize) job.jpeg.resize(kJpegBufferSize);
        job.jpeg_size =
            FitCameraJpeg(job.input.data(), job.input_size, job.width, job.height, job.jpeg.data(), kJpegBufferSize);
        job.quality = JpegCodec::kCameraStreamQuality;
        if (job.jpeg_size == 0) job.error = "frame not stored: the camera's JPEG cannot be kept as a record";
        return;
    }
    WorkerCoders& worker_coders = *coders[static_cast<size_t>(worker)];
    if (job.kind == EncodeJob::Kind::kCameraFrame) {
        worker_coders.camera_rows.Use(job.camera, job.coefficients);
        EncodeAtFittingQuality(job, worker_coders);
        // The camera's frame goes back as soon as it is encoded, stored or not.
        job.camera.keeper->LetGo(std::exchange(job.camera_token, nullptr));
        return;
    }
    if (job.kind == EncodeJob::Kind::kPlanes) FillRowPadding(job.planes);
    EncodeAtFittingQuality(job, worker_coders);
}

void CEncodingRecorder::Impl::EncodeAtFittingQuality(EncodeJob& job, WorkerCoders& worker_coders) {
    const bool is_raw = job.kind == EncodeJob::Kind::kPlanes || job.kind == EncodeJob::Kind::kCameraFrame;
    // Room for any stream a record holds from the first frame on: it grows only for a longer one.
    if (is_raw && job.jpeg.size() < kJpegBufferSize) job.jpeg.resize(kJpegBufferSize);
    int quality = quality_plan.FirstQuality(SteadyMs());
    while (quality != 0) {
        uint32_t size = 0;
        if (is_raw) {
            size = job.kind == EncodeJob::Kind::kPlanes
                       ? worker_coders.raw.Encode(job.planes, quality, job.jpeg)
                       : worker_coders.raw.Encode(job.width, job.height, worker_coders.camera_rows, quality, job.jpeg);
            if (size == 0) job.error = "frame not stored: " + worker_coders.raw.LastError();
        } else {
            size = EncodePicture(job, worker_coders, quality);
        }
        ++job.encodes;
        if (size == 0) return;
        if (!HasJfifHeader(job.jpeg.data(), size)) {
            // The archive reader finds records by this segment; a stream without it must not be stored.
            job.error = "frame not stored: the encoder did not write a JFIF segment right after the start of image";
            return;
        }
        job.jpeg_size = size;
        job.quality = quality;
        quality = quality_plan.NextQuality(quality, size <= kJpegBufferSize, SteadyMs());
    }
    frames_encoded.fetch_add(1, std::memory_order_relaxed);
    encodes.fetch_add(job.encodes, std::memory_order_relaxed);
}

void CEncodingRecorder::Impl::Write(EncodeJob* job, const WriterMark& mark) {
    if (job == nullptr) {
        if (mark.kind == kWriteHeldMark) {
            WriteHeld(mark.value);
        } else if (mark.kind == kLetGoOfHeldMark) {
            held.Clear();
            PublishHeld();
        } else {
            const bool is_finished = writer.Finish();
            was_last_close_ok = is_finished;
            Tell(RecordOutcome::Kind::kClosed, is_finished);
        }
        return;
    }
    if (job->is_held) holds_written.fetch_add(1, std::memory_order_relaxed);
    if (!job->error.empty()) {
        // A frame held for the next event that cannot be encoded is a frame lost, said as such.
        writer.Fail(job->is_held ? "frame not held: " + job->error.substr(job->error.find(": ") + 2) : job->error);
        was_last_write_ok = false;
        Tell(RecordOutcome::Kind::kFailed, false, 0, 0, job->width, job->height);
        return;
    }
    if (job->is_held) {
        HeldFrame frame;
        frame.jpeg = held.SpareBuffer();
        frame.jpeg.assign(job->jpeg.data(), job->jpeg.data() + job->jpeg_size);
        frame.width = job->width;
        frame.height = job->height;
        frame.record_stamp = job->record_stamp;
        frame.time_ms = job->time_ms;
        frame.quality = job->quality;
        Hold(std::move(frame), job->keep_from_ms);
        return;
    }
    const bool is_stored = writer.Store(job->jpeg.data(), job->jpeg_size, job->quality, &job->record_stamp);
    was_last_write_ok = is_stored;
    Tell(is_stored ? RecordOutcome::Kind::kStored : RecordOutcome::Kind::kFailed, is_stored, job->quality,
         job->jpeg_size, job->width, job->height);
}

void CEncodingRecorder::Impl::Hold(HeldFrame frame, int64_t keep_from_ms) {
    held.Hold(std::move(frame), keep_from_ms);
    PublishHeld();
}

int64_t CEncodingRecorder::Impl::WriteHeld(int64_t from_ms) {
    std::vector<HeldFrame> frames = held.TakeFrom(from_ms);
    PublishHeld();
    for (HeldFrame& frame : frames) {
        const uint32_t size = static_cast<uint32_t>(frame.jpeg.size());
        // The held frames' stamps go on in a file begun for them.
        const bool continues_stamps = !writer.IsOpen();
        const bool is_stored =
            writer.Store(frame.jpeg.data(), size, frame.quality, &frame.record_stamp, continues_stamps);
        Tell(is_stored ? RecordOutcome::Kind::kStored : RecordOutcome::Kind::kFailed, is_stored, frame.quality, size,
             frame.width, frame.height);
        held.Recycle(std::move(frame.jpeg));
    }
    return static_cast<int64_t>(frames.size());
}

void CEncodingRecorder::Impl::PublishHeld() {
    held_span_ms.store(held.SpanMs(), std::memory_order_relaxed);
    held_bytes.store(held.Bytes(), std::memory_order_relaxed);
    is_held_shortened.store(held.IsShortened(), std::memory_order_relaxed);
    held_count.store(static_cast<int64_t>(held.Count()), std::memory_order_release);
}

EncodeJob* CEncodingRecorder::Impl::TakeJob(const CleanFrame& frame) {
    EncodeJob* job = nullptr;
    if (frame.is_in_lent_room && lent != nullptr) {
        job = std::exchange(lent, nullptr);  // the pass wrote the planes where the worker reads them
        job->is_held = false;
        return job;
    }
    ReturnLent();
    job = pool->Acquire(waits_for_encoders.load(std::memory_order_relaxed));
    if (job == nullptr) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        TellFromRecordingThread(RecordOutcome::Kind::kDropped, frame.width, frame.height);
        return nullptr;
    }
    job->is_held = false;
    job->width = frame.width;
    job->height = frame.height;
    job->borrowed_input = nullptr;
    const auto keep_input = [job](const uint8_t* bytes, size_t size) {
        if (job->input.size() < size) job->input.resize(size);
        std::memcpy(job->input.data(), bytes, size);
        job->input_size = static_cast<uint32_t>(size);
    };
    if (frame.camera_jpeg != nullptr) {
        job->kind = EncodeJob::Kind::kCameraJpeg;
        keep_input(frame.camera_jpeg, frame.camera_jpeg_size);
    } else if (frame.camera != nullptr && frame.coefficients != nullptr) {
        job->camera = *frame.camera;
        job->coefficients = *frame.coefficients;
        job->camera_token = job->camera.keeper != nullptr ? job->camera.keeper->Keep(job->camera) : nullptr;
        if (job->camera_token != nullptr) {
            job->kind = EncodeJob::Kind::kCameraFrame;
        } else {
            // No more frames can be kept now: the planes are made here, as the pass would have.
            job->kind = EncodeJob::Kind::kPlanes;
            job->PreparePlanes(frame.width, frame.height);
            PassTarget target;
            for (int plane = 0; plane < 3; ++plane) {
                target.planes[plane] = job->planes.planes[plane];
                target.strides[plane] = job->planes.strides[plane];
            }
            RunFramePass(*frame.camera, *frame.coefficients, target);
        }
    } else if (frame.planes != nullptr) {
        // Planes that are not the lent room (the frame's own) are copied once.
        job->kind = EncodeJob::Kind::kPlanes;
        job->PreparePlanes(frame.width, frame.height);
        for (int plane = 0; plane < 3; ++plane) {
            const int32_t row_bytes = plane == 0 ? frame.width : (frame.width + 1) / 2;
            const int32_t rows = plane == 0 ? frame.height : (frame.height + 1) / 2;
            for (int32_t row = 0; row < rows; ++row) {
                std::memcpy(job->planes.planes[plane] + static_cast<size_t>(row) * job->planes.strides[plane],
                            frame.planes->planes[plane] + static_cast<size_t>(row) * frame.planes->strides[plane],
                            static_cast<size_t>(row_bytes));
            }
        }
    } else if (frame.picture != nullptr && frame.picture->GetPixelCount() > 0) {
        job->kind = EncodeJob::Kind::kPicture;
        if (IsWritingHere()) {
            job->borrowed_input = frame.picture->GetBits();  // encoded before the call returns
        } else {
            keep_input(frame.picture->GetBits(), static_cast<size_t>(frame.picture->GetBitsSize()));
        }
    } else {
        pool->Release(job);
        TellFromRecordingThread(RecordOutcome::Kind::kFailed, frame.width, frame.height);
        return nullptr;
    }
    return job;
}

// ---------------------------------------------------------------- public

CEncodingRecorder::CEncodingRecorder(std::string storage_folder)
    : impl_(std::make_unique<Impl>(std::move(storage_folder))) {
    SetEncodeWorkers(0);
}

CEncodingRecorder::~CEncodingRecorder() {
    CloseFile();
    impl_->ReturnLent();
    impl_->pool.reset();  // what is queued is written first
}

void CEncodingRecorder::SetLastError(const std::string& error) {
    impl_->writer.SetLastError(error, impl_->writer.GetLastErrorCause());
}

bool CEncodingRecorder::WriteFrame(const BMP_File& frame) { return WriteCleanFrame(CleanFrame::OfPicture(frame)); }

bool CEncodingRecorder::TakesCameraJpeg(const uint8_t* data, uint32_t size, int32_t width, int32_t height) const {
    // What the readers would refuse is not taken either; the frame is then refused as it is stored.
    if (width > JpegCodec::kMaxDecodeDimension || height > JpegCodec::kMaxDecodeDimension) return false;
    const std::optional<JpegStreamInfo> info = ReadJpegStream(data, size);
    if (!info) return false;
    const uint32_t fitted = FittedCameraJpegSize(*info, width, height);
    return fitted != 0 && fitted <= kJpegBufferSize;
}

bool CEncodingRecorder::WriteCleanFrame(const CleanFrame& frame) {
    Impl& d = *impl_;
    // The readers refuse larger pictures as damaged; what they cannot read is not recorded.
    constexpr int32_t kMaxSide = JpegCodec::kMaxDecodeDimension;
    if (frame.width > kMaxSide || frame.height > kMaxSide) {
        const std::string reason = "frame not stored: " + std::to_string(frame.width) + "x" +
                                   std::to_string(frame.height) + " pixels is larger than an archive holds (" +
                                   std::to_string(kMaxSide) + " pixels either way)";
        d.TellFromRecordingThread(RecordOutcome::Kind::kFailed, frame.width, frame.height, &reason);
        return false;
    }
    EncodeJob* job = d.TakeJob(frame);
    if (job == nullptr) return false;
    job->record_stamp = d.CaptureStamp();
    return d.Submit(job);
}

bool CEncodingRecorder::WriteEncodedFrame(std::vector<uint8_t> jpeg, int32_t width, int32_t height,
                                          double record_stamp) {
    Impl& d = *impl_;
    const uint32_t size = jpeg.size() > UINT32_MAX ? 0 : static_cast<uint32_t>(jpeg.size());
    // Kept as it is when the reader can find it and it fits; else made to fit like a camera's.
    const bool is_kept = HasJfifHeader(jpeg.data(), size) && size <= kJpegBufferSize;
    d.ReturnLent();
    EncodeJob* job = d.pool->Acquire(d.waits_for_encoders.load(std::memory_order_relaxed));
    if (job == nullptr) {
        d.dropped.fetch_add(1, std::memory_order_relaxed);
        d.TellFromRecordingThread(RecordOutcome::Kind::kDropped, width, height);
        return false;
    }
    job->is_held = false;
    job->width = width;
    job->height = height;
    job->record_stamp = record_stamp;
    job->error.clear();
    if (is_kept) {
        job->kind = EncodeJob::Kind::kEncoded;
        job->jpeg.swap(jpeg);
        job->jpeg_size = size;
        job->quality = JpegCodec::kCameraStreamQuality;
    } else {
        job->kind = EncodeJob::Kind::kCameraJpeg;
        job->input.swap(jpeg);
        job->input_size = size;
    }
    d.is_capture_episode_open = true;  // a close follows it
    return d.Submit(job);
}

void CEncodingRecorder::ReturnPlanes() { impl_->ReturnLent(); }
bool CEncodingRecorder::LendsPlanes() const { return true; }
// Kept camera frames spare a copy only when another thread encodes them.
bool CEncodingRecorder::TakesCameraFrames() const { return impl_->pool->WorkerCount() > 0; }

JpegPlaneRoom* CEncodingRecorder::LendPlanes(int32_t width, int32_t height) {
    Impl& d = *impl_;
    if (d.lent == nullptr) d.lent = d.pool->Acquire(d.waits_for_encoders.load(std::memory_order_relaxed));
    if (d.lent == nullptr) {
        d.dropped.fetch_add(1, std::memory_order_relaxed);
        d.TellFromRecordingThread(RecordOutcome::Kind::kDropped, width, height);
        return nullptr;
    }
    d.lent->kind = EncodeJob::Kind::kPlanes;
    d.lent->PreparePlanes(width, height);
    for (int plane = 0; plane < 3; ++plane) {
        d.lent_room.planes[plane] = d.lent->planes.planes[plane];
        d.lent_room.strides[plane] = d.lent->planes.strides[plane];
    }
    return &d.lent_room;
}

void CEncodingRecorder::SetEncodeWorkers(int workers) {
    Impl& d = *impl_;
    if (d.pool) {
        CloseFile();
        d.ReturnLent();
        d.pool.reset();
    }
    workers = std::max(workers, 0);
    // Without workers the thread that records encodes, with the first worker's coders.
    d.coders.clear();
    for (int i = 0; i < std::max(workers, 1); ++i) d.coders.push_back(std::make_unique<WorkerCoders>());
    d.quality_plan.SetSettling(workers > 0);
    // Without workers one frame is on its way at a time: one job, warm from the first frame on.
    const int jobs = workers > 0 ? workers + kSpareJobs : 1;
    d.pool = std::make_unique<CEncodePool>(
        workers, jobs, [&d](EncodeJob& job, int worker) { d.Encode(job, worker); },
        [&d](EncodeJob* job, const WriterMark& mark) { d.Write(job, mark); });
}

void CEncodingRecorder::SetWaitsForEncoders(bool is_waiting) { impl_->waits_for_encoders.store(is_waiting); }

int CEncodingRecorder::GetEncodeWorkers() const { return impl_->pool->WorkerCount(); }

void CEncodingRecorder::WaitForWrites() { impl_->pool->Drain(); }

void CEncodingRecorder::SetRecordStoredCallback(std::function<void(const uint8_t* jpeg, uint32_t size)> on_stored) {
    impl_->writer.SetRecordStoredCallback(std::move(on_stored));
}

void CEncodingRecorder::SetOutcomeCallback(std::function<void(const RecordOutcome&)> on_outcome) {
    impl_->on_outcome = std::move(on_outcome);
}

CEncodingRecorder::EncodeCounts CEncodingRecorder::GetEncodeCounts() const {
    return EncodeCounts{impl_->frames_encoded.load(), impl_->encodes.load(), impl_->dropped.load()};
}

bool CEncodingRecorder::CloseFile() {
    Impl& d = *impl_;
    // A room lent to the pass stays lent: the frame in it may still be held after the close.
    d.is_capture_episode_open = false;
    if (d.IsWritingHere()) d.was_last_close_ok = true;  // nothing open, nothing to fail
    d.pool->SubmitClose();
    return !d.IsWritingHere() || d.was_last_close_ok;
}

bool CEncodingRecorder::StartNewFile() {
    impl_->pool->ForgetLastMark();  // the close that follows finishes this file
    return impl_->writer.StartNewFile();
}
bool CEncodingRecorder::IsWriteOpen() const { return impl_->writer.IsOpen(); }
const std::string& CEncodingRecorder::GetWritePath() const { return impl_->writer.GetPath(); }
void CEncodingRecorder::SetRoomMaker(std::function<bool()> make_room) {
    impl_->writer.SetRoomMaker(std::move(make_room));
}

void CEncodingRecorder::SetFileCreatedCallback(std::function<void(const std::string&)> on_created) {
    impl_->writer.SetFileCreatedCallback(std::move(on_created));
}

void CEncodingRecorder::SetClock(ArchiveClock clock) { impl_->writer.SetClock(std::move(clock)); }
void CEncodingRecorder::SetStorageFolder(std::string storage_folder) {
    impl_->writer.SetStorageFolder(std::move(storage_folder));
}
std::string CEncodingRecorder::GetStorageFolder() const { return impl_->writer.GetStorageFolder(); }
void CEncodingRecorder::SetFileSync(FileSync sync) { impl_->writer.SetFileSync(std::move(sync)); }
void CEncodingRecorder::WaitForFlushes() { impl_->writer.WaitForFlushes(); }
const std::string& CEncodingRecorder::GetLastError() const { return impl_->writer.GetLastError(); }
const std::string& CEncodingRecorder::GetLastErrorCause() const { return impl_->writer.GetLastErrorCause(); }
int CEncodingRecorder::GetLastFrameQuality() const { return impl_->writer.GetLastFrameQuality(); }
uint32_t CEncodingRecorder::GetLastFrameBytes() const { return impl_->writer.GetLastFrameBytes(); }

void CEncodingRecorder::HoldCleanFrame(const CleanFrame& frame, int64_t time_ms, int64_t keep_from_ms) {
    Impl& d = *impl_;
    // Held frames are stamped by the clock of the frames that follow them, which goes on across files.
    EncodeJob* job = d.TakeJob(frame);
    if (job == nullptr) return;
    job->is_held = true;
    job->time_ms = time_ms;
    job->keep_from_ms = keep_from_ms;
    job->record_stamp = d.capture_stamps.NextRecordStamp();
    ++d.holds_submitted;
    d.pool->Submit(job);
}

int64_t CEncodingRecorder::WriteHeldFrames(int64_t from_ms) {
    Impl& d = *impl_;
    // The frames that follow go on from the held frames' stamps.
    d.capture_stamps.StartFile(true);
    d.is_capture_episode_open = true;
    // Those held and those on their way to be, before the writer takes them; it may still let go
    // of a few by their time.
    const int64_t held_now = d.held_count.load(std::memory_order_acquire);
    const int64_t in_flight = d.holds_submitted - d.holds_written.load(std::memory_order_relaxed);
    d.pool->SubmitMark(WriterMark{kWriteHeldMark, from_ms});
    return held_now + in_flight;
}

void CEncodingRecorder::LetGoOfHeldFrames() { impl_->pool->SubmitMark(WriterMark{kLetGoOfHeldMark, 0}); }

void CEncodingRecorder::SetHeldByteLimit(uint64_t bytes) { impl_->held.SetByteLimit(bytes); }

PreRollStatus CEncodingRecorder::GetHeldStatus() const {
    const Impl& d = *impl_;
    return PreRollStatus{d.held_span_ms.load(std::memory_order_relaxed), d.held_bytes.load(std::memory_order_relaxed),
                         d.is_held_shortened.load(std::memory_order_relaxed)};
}
