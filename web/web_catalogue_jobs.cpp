#include "web/web_catalogue_jobs.h"

#include <gio/gio.h>

#include "platform/thread_handover.h"

namespace {

struct CatalogueJob {
    std::weak_ptr<void> owner;
    std::function<void()> work;
    std::function<void()> done;
};

// GLib's thread pool hands the job over with locks ThreadSanitizer cannot see: the job and what its
// work writes are marked across both hand-overs.
void RunJob(GTask* task, gpointer, gpointer data, GCancellable*) {
    MarkReceived(data);
    static_cast<CatalogueJob*>(data)->work();
    MarkHandedOver(data);
    g_task_return_boolean(task, TRUE);
}

void FinishJob(GObject*, GAsyncResult* result, gpointer) {
    auto* job = static_cast<CatalogueJob*>(g_task_get_task_data(G_TASK(result)));
    MarkReceived(job);
    // Held while done runs: the owner cannot go in the middle of it.
    if (const std::shared_ptr<void> owner = job->owner.lock()) job->done();
    // The task may be let go of, and the job deleted, on the worker.
    MarkHandedOver(job);
}

}  // namespace

void RunOffMainLoop(std::weak_ptr<void> owner, std::function<void()> work, std::function<void()> done) {
    // The task answers on the thread-default main context of this thread, where the server runs.
    GTask* task = g_task_new(nullptr, nullptr, FinishJob, nullptr);
    auto* job = new CatalogueJob{std::move(owner), std::move(work), std::move(done)};
    g_task_set_task_data(task, job, [](gpointer data) {
        MarkReceived(data);
        delete static_cast<CatalogueJob*>(data);
    });
    MarkHandedOver(job);
    g_task_run_in_thread(task, RunJob);
    g_object_unref(task);
}
