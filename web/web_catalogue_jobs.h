#pragma once

#include <functional>
#include <memory>

// Catalogue work that reads archives (listing a day, indexing, reading a frame) runs on a worker
// thread, so that a slow or damaged archive holds up neither other requests nor the window.
//
// work runs on a worker thread; done runs afterwards on the main context of the calling thread,
// unless owner is gone by then (the request it answers was closed).
void RunOffMainLoop(std::weak_ptr<void> owner, std::function<void()> work, std::function<void()> done);
