#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jpeg/raw_jpeg_encoder.h"
#include "picture/camera_frame.h"
#include "picture/frame_pass.h"

// One frame on its way from the streaming thread through a worker to the writer. Its buffers
// are kept from frame to frame and grow only for a larger frame.
struct EncodeJob {
    enum class Kind : uint8_t {
        kPlanes,       // planes: the frame pass wrote them here
        kCameraFrame,  // camera: a YUV frame kept by its keeper, converted as it is encoded
        kPicture,      // input: packed blue-green-red rows, top row first
        kCameraJpeg,   // input: the camera's own stream, to be made to fit
        kEncoded,      // jpeg: a finished stream, written as it is
    };
    Kind kind = Kind::kPlanes;
    int32_t width = 0;
    int32_t height = 0;
    double record_stamp = 0.0;  // taken when the frame was captured
    // Held for an event to come instead of stored: when it came (monotonic), and from when on
    // the frames held before it are kept.
    bool is_held = false;
    int64_t time_ms = 0;
    int64_t keep_from_ms = 0;

    CameraFrame camera;
    YuvCoefficients coefficients;
    void* camera_token = nullptr;  // from camera.keeper, let go of once encoded

    std::vector<uint8_t> plane_bytes;
    PaddedYuvPlanes planes;
    std::vector<uint8_t> input;
    uint32_t input_size = 0;
    // kPicture in a pool without workers: the caller's rows, read before Submit returns.
    const uint8_t* borrowed_input = nullptr;

    // What the worker made: jpeg[0, jpeg_size) at quality, or error.
    std::vector<uint8_t> jpeg;
    uint32_t jpeg_size = 0;
    int quality = 0;
    int encodes = 0;  // encodes it took
    std::string error;

    // Sizes the planes for a frame of width x height, rows padded to whole blocks.
    void PreparePlanes(int32_t frame_width, int32_t frame_height);
};

// What the writer is asked to do between two frames, in order with them: close the archive, or
// what the pool's owner means by its own kinds.
struct WriterMark {
    static constexpr int kClose = 0;
    int kind = kClose;
    int64_t value = 0;
};

// A small pool of encoding threads and one writer: jobs are encoded side by side and written
// in the order they were submitted. Jobs come from a fixed set, so the streaming thread never
// waits: when every job is in flight, Acquire says so at once.
class CEncodePool {
public:
    // Runs on a worker (index 0 .. worker_count - 1) for every job but kEncoded ones.
    using EncodeFunction = std::function<void(EncodeJob& job, int worker)>;
    // Runs on the writer in submission order: a job, or null and a mark.
    using WriteFunction = std::function<void(EncodeJob* job, const WriterMark& mark)>;

    // worker_count 0: no threads; a job is encoded and written on the thread that submits it.
    CEncodePool(int worker_count, int job_count, EncodeFunction encode, WriteFunction write);
    // Writes what was submitted, then stops the threads.
    ~CEncodePool();
    CEncodePool(const CEncodePool&) = delete;
    CEncodePool& operator=(const CEncodePool&) = delete;

    // A free job, or null when every job is in flight; with is_waiting, the next job to come free
    // (a file read as fast as it goes waits rather than loses frames). Producer thread.
    EncodeJob* Acquire(bool is_waiting = false);
    // A job acquired and not submitted goes back.
    void Release(EncodeJob* job);
    void Submit(EncodeJob* job);
    // Asks the writer to close, after every job submitted before; a close right after a close
    // is the same close.
    void SubmitClose() { SubmitMark(WriterMark{}); }
    // The same for any mark: one right after the same kind is the same mark. At most three
    // marks of other kinds come between two jobs, and never wait.
    void SubmitMark(WriterMark mark);
    // Waits until everything submitted has been written.
    void Drain();
    // A file was begun outside the pool: the next close is not the same as the last.
    void ForgetLastMark() {
        const std::lock_guard<std::mutex> lock(mutex_);
        last_mark_kind_ = -1;
    }

    int WorkerCount() const { return static_cast<int>(workers_.size()); }
    // Threads as many as there are cores, at most 4.
    static int DefaultWorkerCount();

private:
    // A fixed-capacity queue, so nothing is allocated per frame.
    template <typename T>
    class Ring {
    public:
        explicit Ring(size_t capacity) : items_(capacity) {}
        bool IsEmpty() const { return count_ == 0; }
        bool IsFull() const { return count_ == items_.size(); }
        T& Front() { return items_[head_]; }
        T& Back() { return items_[(head_ + count_ - 1) % items_.size()]; }
        void Push(T item) {
            items_[(head_ + count_) % items_.size()] = item;
            ++count_;
        }
        T Pop() {
            T item = items_[head_];
            head_ = (head_ + 1) % items_.size();
            --count_;
            return item;
        }

    private:
        std::vector<T> items_;
        size_t head_ = 0;
        size_t count_ = 0;
    };
    struct Entry {
        EncodeJob* job = nullptr;  // null: a mark
        bool is_done = false;
        WriterMark mark;
    };

    void RunWorker(int index);
    void RunWriter();

    EncodeFunction encode_;
    WriteFunction write_;
    std::vector<std::unique_ptr<EncodeJob>> jobs_;

    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable write_ready_;
    std::condition_variable idle_;
    std::condition_variable job_free_;
    // Handed out in turn, so that every job is warm (its buffers sized) after as many frames.
    Ring<EncodeJob*> free_;
    Ring<Entry*> to_encode_;
    Ring<Entry> in_order_;
    // The kind of the mark submitted last, -1 after a job; nothing to close before the first job.
    int last_mark_kind_ = WriterMark::kClose;
    bool is_writing_ = false;
    bool is_stopping_ = false;

    std::vector<std::thread> workers_;
    std::thread writer_;
};
