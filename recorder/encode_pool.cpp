#include "recorder/encode_pool.h"

#include <algorithm>

namespace {

constexpr int kMaxWorkers = 4;

}  // namespace

void EncodeJob::PreparePlanes(int32_t frame_width, int32_t frame_height) {
    width = frame_width;
    height = frame_height;
    const int32_t chroma_width = (frame_width + 1) / 2;
    const int32_t chroma_height = (frame_height + 1) / 2;
    const size_t luma_bytes = static_cast<size_t>(PaddedRowBytes(frame_width)) * static_cast<size_t>(frame_height);
    const size_t chroma_bytes = static_cast<size_t>(PaddedRowBytes(chroma_width)) * static_cast<size_t>(chroma_height);
    if (plane_bytes.size() < luma_bytes + 2 * chroma_bytes) plane_bytes.resize(luma_bytes + 2 * chroma_bytes);
    planes.width = frame_width;
    planes.height = frame_height;
    planes.planes[0] = plane_bytes.data();
    planes.planes[1] = planes.planes[0] + luma_bytes;
    planes.planes[2] = planes.planes[1] + chroma_bytes;
    planes.strides[0] = PaddedRowBytes(frame_width);
    planes.strides[1] = planes.strides[2] = PaddedRowBytes(chroma_width);
}

int CEncodePool::DefaultWorkerCount() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp(static_cast<int>(cores), 1, kMaxWorkers);
}

CEncodePool::CEncodePool(int worker_count, int job_count, EncodeFunction encode, WriteFunction write)
    : encode_(std::move(encode)),
      write_(std::move(write)),
      free_(static_cast<size_t>(std::max(job_count, 1))),
      to_encode_(static_cast<size_t>(std::max(job_count, 1))),
      in_order_(4 * static_cast<size_t>(std::max(job_count, 1)) + 4) {
    job_count = std::max(job_count, 1);
    for (int i = 0; i < job_count; ++i) jobs_.push_back(std::make_unique<EncodeJob>());
    for (const std::unique_ptr<EncodeJob>& job : jobs_) free_.Push(job.get());
    if (worker_count <= 0) return;  // everything runs on the thread that submits
    for (int i = 0; i < worker_count; ++i) workers_.emplace_back(&CEncodePool::RunWorker, this, i);
    writer_ = std::thread(&CEncodePool::RunWriter, this);
}

CEncodePool::~CEncodePool() {
    Drain();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        is_stopping_ = true;
    }
    work_ready_.notify_all();
    write_ready_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    if (writer_.joinable()) writer_.join();
}

EncodeJob* CEncodePool::Acquire(bool is_waiting) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (is_waiting) job_free_.wait(lock, [this] { return !free_.IsEmpty(); });
    if (free_.IsEmpty()) return nullptr;
    return free_.Pop();
}

void CEncodePool::Release(EncodeJob* job) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        free_.Push(job);
    }
    job_free_.notify_one();
}

void CEncodePool::Submit(EncodeJob* job) {
    if (workers_.empty()) {
        last_mark_kind_ = -1;
        if (job->kind != EncodeJob::Kind::kEncoded) encode_(*job, 0);
        write_(job, {});
        Release(job);
        return;
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // A job and three marks alternate at worst, so the ring has room.
        const bool is_encoded = job->kind == EncodeJob::Kind::kEncoded;
        in_order_.Push(Entry{job, is_encoded, {}});
        last_mark_kind_ = -1;
        if (!is_encoded) {
            // The entry stays where it is until the writer takes it, after the worker is done.
            to_encode_.Push(&in_order_.Back());
        }
    }
    work_ready_.notify_one();
    write_ready_.notify_one();
}

void CEncodePool::SubmitMark(WriterMark mark) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (last_mark_kind_ == mark.kind || in_order_.IsFull()) return;
        last_mark_kind_ = mark.kind;
        if (!workers_.empty()) in_order_.Push(Entry{nullptr, true, mark});
    }
    if (workers_.empty()) {
        write_(nullptr, mark);
        return;
    }
    write_ready_.notify_one();
}

void CEncodePool::Drain() {
    if (workers_.empty()) return;
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return in_order_.IsEmpty() && !is_writing_; });
}

void CEncodePool::RunWorker(int index) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] { return is_stopping_ || !to_encode_.IsEmpty(); });
        if (to_encode_.IsEmpty()) return;  // stopping with nothing left
        Entry* entry = to_encode_.Pop();
        lock.unlock();
        encode_(*entry->job, index);
        lock.lock();
        entry->is_done = true;
        write_ready_.notify_one();
    }
}

void CEncodePool::RunWriter() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        write_ready_.wait(lock, [this] { return is_stopping_ || (!in_order_.IsEmpty() && in_order_.Front().is_done); });
        if (in_order_.IsEmpty() || !in_order_.Front().is_done) return;  // stopping: Drain ran first
        const Entry entry = in_order_.Pop();
        EncodeJob* job = entry.job;
        is_writing_ = true;
        lock.unlock();
        write_(job, entry.mark);
        lock.lock();
        is_writing_ = false;
        if (job != nullptr) {
            free_.Push(job);
            job_free_.notify_one();
        }
        if (in_order_.IsEmpty()) idle_.notify_all();
    }
}
