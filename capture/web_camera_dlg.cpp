#include "capture/web_camera_dlg.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <QObject>
#include <QMetaObject>

#include "capture/camera_formats.h"
#include "capture/gst_handles.h"
#include "capture/row_flip.h"
#include "capture/video_devices.h"
#include "capture/vrender.h"

namespace {

constexpr auto kWaitBeforeRebuild = std::chrono::milliseconds(300);
constexpr auto kWaitBeforeTeardown = std::chrono::milliseconds(100);
constexpr auto kWaitAfterRestart = std::chrono::milliseconds(500);
// How long a start may take before the camera counts as running; later failures arrive on the bus.
constexpr GstClockTime kStartTimeout = 10 * GST_SECOND;

const char kInUse[] = "Camera is in use by another application";

// The first error a graph reported, kept for the start-up checks.
struct GraphError {
    GQuark domain = 0;
    int code = 0;
    std::string message;
};

enum class StreamEvent { kError, kEnd };

// Carries bus messages from whatever thread posts them to the user-interface thread.
// Owned by the bus (freed with its sync handler); the capture object detaches it first.
struct BusRelay {
    std::mutex mutex;
    QObject* target = nullptr;  // lives on the user-interface thread
    std::function<void(StreamEvent, GraphError)> handler;  // runs on the target's thread
    bool has_error = false;
    GraphError first_error;
};

GstBusSyncReply RelayBusMessage(GstBus*, GstMessage* message, gpointer user_data) {
    auto* relay = static_cast<BusRelay*>(user_data);
    StreamEvent event;
    GraphError error;
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
        GError* raw_error = nullptr;
        gst_message_parse_error(message, &raw_error, nullptr);
        GErrorPtr parsed(raw_error);
        if (parsed) error = GraphError{parsed->domain, parsed->code, parsed->message ? parsed->message : ""};
        event = StreamEvent::kError;
    } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
        event = StreamEvent::kEnd;
    } else {
        // Nobody reads the bus queue; keeping messages there would only grow it.
        return GST_BUS_DROP;
    }
    std::lock_guard<std::mutex> lock(relay->mutex);
    if (event == StreamEvent::kError && !relay->has_error) {
        relay->has_error = true;
        relay->first_error = error;
    }
    if (relay->target) {
        auto handler = relay->handler;
        QMetaObject::invokeMethod(
            relay->target, [handler, event, error]() { handler(event, error); }, Qt::QueuedConnection);
    }
    return GST_BUS_DROP;
}

void DeleteRelay(gpointer user_data) { delete static_cast<BusRelay*>(user_data); }

GstPad* FirstSourcePad(GstElement* element) {
    GstPad* pad = gst_element_get_static_pad(element, "src");
    if (pad) return pad;
    GstIteratorPtr pads(gst_element_iterate_src_pads(element));
    GValue item = G_VALUE_INIT;
    if (pads && gst_iterator_next(pads.get(), &item) == GST_ITERATOR_OK) {
        pad = GST_PAD(g_value_dup_object(&item));
        g_value_unset(&item);
    }
    return pad;
}

}  // namespace

struct CWebCameraDlg::Impl : public IFrameSinkOwner {
    explicit Impl(ICaptureMessages& message_sink) : messages(message_sink) {}

    ICaptureMessages& messages;
    std::atomic<IFrameReceiver*> view{nullptr};
    ICameraPropertyPages* pages = nullptr;
    std::vector<TestCameraSpec> added_cameras;
    bool is_clock_synced = true;
    std::function<void()> on_stream_end;

    std::string camera;
    std::atomic<int32_t> is_running{0};
    std::atomic<int32_t>* width = nullptr;
    std::atomic<int32_t>* height = nullptr;
    std::atomic<int64_t>* frame_duration_100ns = nullptr;

    CVideoDevice device;
    GstObjectPtr<GstElement> source;     // "Capturer"
    GstObjectPtr<GstElement> converter;  // "ColorConverter"
    GstObjectPtr<GstElement> pipeline;
    std::unique_ptr<VRender> renderer;  // "Renderer"; stopped with the graph before it goes
    GstCapsPtr camera_format;            // asked of the camera; empty = the camera's own format
    BusRelay* relay = nullptr;           // owned by the pipeline's bus
    uint64_t graph_generation = 0;
    std::unique_ptr<QObject> ui_context = std::make_unique<QObject>();

    // --- frame sink owner, streaming thread ---
    void OnFrameSize(int32_t frame_width, int32_t frame_height) override {
        if (width) width->store(frame_width);
        if (height) height->store(frame_height);
    }
    void OnFrame(const uint8_t* pixels, size_t size_bytes) override {
        IFrameReceiver* receiver = view.load();
        if (!is_running.load() || !receiver) return;
        try {
            receiver->ProcessFrame(pixels, size_bytes);
        } catch (...) {
            // One bad frame must not stop the stream.
        }
    }

    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) {
        messages.ShowMessage(text, caption, icon);
    }
    void ShowError(const std::string& text) { ShowMessage(text, "Error", MessageIcon::kError); }
    void ShowFrameworkMessage(const std::string& text) { ShowMessage(text, "", MessageIcon::kExclamation); }
    void ShowCaptureMessage(const char* format, unsigned code) {
        char buffer[1024];
        std::snprintf(buffer, sizeof buffer, format, code);
        ShowMessage(buffer, "PlayCap Message", MessageIcon::kError);
    }

    static std::string FormatErrorText(const GraphError& error) {
        if (error.message.empty()) return {};
        char code[32];
        std::snprintf(code, sizeof code, "%lx", static_cast<unsigned long>(static_cast<unsigned>(error.code)));
        return std::string("Error: 0x") + code + "\n" + error.message;
    }

    // Creates the empty graph; returns 0 or a failure code.
    unsigned CreateGraph() {
        pipeline = AdoptFloating(gst_pipeline_new("capture"));
        if (!pipeline) return 0x80004005u;  // unspecified failure
        ++graph_generation;
        GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline.get()));
        if (!bus) return 0x80004005u;
        relay = new BusRelay;
        relay->target = ui_context.get();
        const uint64_t generation = graph_generation;
        relay->handler = [this, generation](StreamEvent event, GraphError error) {
            OnStreamEvent(generation, event, std::move(error));
        };
        gst_bus_set_sync_handler(bus.get(), &RelayBusMessage, relay, &DeleteRelay);
        return 0;
    }

    // Stops the graph (waiting for a frame in progress) and forgets it; the camera element stays.
    void ReleaseGraph() {
        if (!pipeline) return;
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        if (relay) {
            std::lock_guard<std::mutex> lock(relay->mutex);
            relay->target = nullptr;
        }
        GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline.get()));
        if (bus) gst_bus_set_sync_handler(bus.get(), nullptr, nullptr, nullptr);
        relay = nullptr;
        RemoveDownstream();
        if (source && GST_OBJECT_PARENT(source.get()) == GST_OBJECT(pipeline.get())) {
            gst_bin_remove(GST_BIN(pipeline.get()), source.get());
        }
        pipeline.reset();
        renderer.reset();
    }

    // Takes apart everything below the camera element; the camera stays in the graph.
    void RemoveDownstream() {
        if (!pipeline) return;
        std::vector<GstElement*> below;
        GstIteratorPtr elements(gst_bin_iterate_elements(GST_BIN(pipeline.get())));
        GValue item = G_VALUE_INIT;
        while (elements && gst_iterator_next(elements.get(), &item) == GST_ITERATOR_OK) {
            auto* element = GST_ELEMENT(g_value_get_object(&item));
            if (element != source.get()) below.push_back(GST_ELEMENT(gst_object_ref(element)));
            g_value_unset(&item);
        }
        for (GstElement* element : below) {
            gst_element_set_state(element, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(pipeline.get()), element);
            gst_object_unref(element);
        }
    }

    // The formats the camera offers: the device's own list, else its source pad's answer.
    GstCapsPtr OfferedCaps() const {
        GstCapsPtr caps = device.GetCaps();
        if (caps && !gst_caps_is_empty(caps.get())) return caps;
        if (!source) return {};
        GstObjectPtr<GstPad> pad(FirstSourcePad(source.get()));
        if (!pad) return {};
        return GstCapsPtr(gst_pad_query_caps(pad.get(), nullptr));
    }

    CameraFormat CurrentFormat() const {
        if (!source) return {};
        GstObjectPtr<GstPad> pad(FirstSourcePad(source.get()));
        if (!pad) return {};
        GstCapsPtr caps(gst_pad_get_current_caps(pad.get()));
        return FormatFromCaps(caps.get());
    }

    // Adds the camera, renderer and converter; false after reporting which one failed.
    bool AddElements() {
        GstBin* bin = GST_BIN(pipeline.get());
        if (!gst_bin_add(bin, GST_ELEMENT(gst_object_ref(source.get())))) {
            gst_object_unref(source.get());
            ShowError("Could not add Capture Filter!");
            return false;
        }
        renderer = std::make_unique<VRender>(*this, is_clock_synced);
        // Frames reach the sink bottom row first, as the frame pipeline expects.
        GstObjectPtr<GstElement> flip;
        if (RegisterRowFlip()) flip = AdoptFloating(gst_element_factory_make("cindralrowflip", "Flip"));
        if (!flip) {
            flip = AdoptFloating(gst_element_factory_make("videoflip", "Flip"));
            if (flip) gst_util_set_object_arg(G_OBJECT(flip.get()), "method", "vertical-flip");
        }
        if (!renderer->Element() || !flip) {
            ShowError("Could not add Renderer Filter!");
            return false;
        }
        if (!gst_bin_add(bin, GST_ELEMENT(gst_object_ref(renderer->Element())))) {
            gst_object_unref(renderer->Element());
            ShowError("Could not add Renderer Filter!");
            return false;
        }
        if (!gst_bin_add(bin, GST_ELEMENT(gst_object_ref(flip.get())))) {
            gst_object_unref(flip.get());
            ShowError("Could not add Renderer Filter!");
            return false;
        }
        if (!gst_bin_add(bin, GST_ELEMENT(gst_object_ref(converter.get())))) {
            gst_object_unref(converter.get());
            ShowError("Could not add Color Converter Filter!");
            return false;
        }
        return true;
    }

    // Links camera -> [format] -> [decoder] -> converter -> flip -> renderer.
    bool Connect() {
        GstBin* bin = GST_BIN(pipeline.get());
        GstElement* upstream = source.get();
        if (camera_format) {
            GstElement* filter = gst_element_factory_make("capsfilter", "CameraFormat");
            if (!filter || !gst_bin_add(bin, filter)) return false;
            g_object_set(filter, "caps", camera_format.get(), nullptr);
            if (!gst_element_link(upstream, filter)) return false;
            upstream = filter;
            if (IsCompressedFormat(camera_format.get())) {
                GstElement* decoder = gst_element_factory_make("jpegdec", "Decoder");
                if (!decoder || !gst_bin_add(bin, decoder)) return false;
                if (!gst_element_link(upstream, decoder)) return false;
                upstream = decoder;
            }
        }
        GstElement* flip = gst_bin_get_by_name(bin, "Flip");
        GstObjectPtr<GstElement> flip_holder(flip);
        if (!flip || !gst_element_link(upstream, converter.get()) || !gst_element_link(converter.get(), flip)) {
            return false;
        }
        GstElement* last = flip;
        if (!is_clock_synced) {
            // Without a clock the source runs ahead: let reading and flipping overlap with the
            // frame pipeline on the second core. The queue blocks when full, so no frame is lost.
            GstElement* queue = gst_element_factory_make("queue", "FrameQueue");
            if (!queue || !gst_bin_add(bin, queue)) return false;
            g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time", G_GUINT64_CONSTANT(0),
                         nullptr);
            if (!gst_element_link(flip, queue)) return false;
            last = queue;
        }
        return gst_element_link(last, renderer->Element());
    }

    GraphError TakeFirstError() {
        GraphError error;
        if (!relay) return error;
        std::lock_guard<std::mutex> lock(relay->mutex);
        if (relay->has_error) error = relay->first_error;
        return error;
    }

    void ReportRunFailure(const GraphError& error) {
        if (error.domain == GST_RESOURCE_ERROR && error.code == GST_RESOURCE_ERROR_BUSY) {
            ShowMessage(kInUse, "Warning!", MessageIcon::kWarning);
        } else {
            ShowMessage(FormatErrorText(error), "Could not access camera", MessageIcon::kError);
        }
    }

    // Runs the graph. A file source prerolls first so that its first frame is not lost
    // before the running flag is set. Reports nothing; the error says what failed.
    bool RunGraph(GraphError* failure) {
        GstStateChangeReturn result = gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
        if (result == GST_STATE_CHANGE_ASYNC) {
            result = gst_element_get_state(pipeline.get(), nullptr, nullptr, kStartTimeout);
        }
        if (result != GST_STATE_CHANGE_FAILURE) {
            is_running.store(1);
            result = gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
            if (result == GST_STATE_CHANGE_ASYNC) {
                result = gst_element_get_state(pipeline.get(), nullptr, nullptr, kStartTimeout);
            }
        }
        if (result != GST_STATE_CHANGE_FAILURE && TakeFirstError().domain == 0) return true;
        is_running.store(0);
        // The state may fail before the failing thread has posted its error; once stopped,
        // every thread of the graph has said what it had to say.
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        *failure = TakeFirstError();
        return false;
    }

    bool Run() {
        GraphError failure;
        if (RunGraph(&failure)) return true;
        ReportRunFailure(failure);
        return false;
    }

    static bool IsNegotiationFailure(const GraphError& error) {
        return error.domain == GST_STREAM_ERROR &&
               (error.code == GST_STREAM_ERROR_FAILED || error.code == GST_STREAM_ERROR_WRONG_TYPE ||
                error.code == GST_STREAM_ERROR_FORMAT);
    }

    // Source ended or failed while running (camera unplugged, end of file): user-interface thread.
    void OnStreamEvent(uint64_t generation, StreamEvent event, GraphError error) {
        if (generation != graph_generation || !is_running.load()) return;
        is_running.store(0);
        if (pipeline) gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        if (event == StreamEvent::kError) ReportRunFailure(error);
        if (on_stream_end) on_stream_end();
    }

    bool Init() {
        if (camera.empty()) {
            ShowError("Camera Direct Show Source was not selected!");
            return false;
        }
        GError* raw_error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &raw_error)) {
            GErrorPtr init_error(raw_error);
            ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", 0x80004005u);
            return false;
        }
        if (const unsigned failure = CreateGraph()) {
            ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", failure);
            return false;
        }
        std::vector<TestCameraSpec> test_cameras = TestCamerasFromEnvironment();
        test_cameras.insert(test_cameras.end(), added_cameras.begin(), added_cameras.end());
        VideoDeviceList list = ListVideoDevices(test_cameras);
        if (!list.is_monitor_created) {
            ShowFrameworkMessage("CWebCameraDlg::Init::CoCreateInstance (CLSID_SystemDeviceEnum...");
            return false;
        }
        if (!list.is_monitor_started && list.devices.empty()) {
            ShowFrameworkMessage(
                "CWebCameraDlg::Init::pDevEnum->CreateClassEnumerator (CLSID_VideoInputDeviceCategory...");
            return false;
        }
        if (list.devices.empty()) {
            ShowFrameworkMessage("CWebCameraDlg::Init::pClassEnum == NULL");
            return false;
        }
        const std::string not_found = "Camera Direct Show Source \"" + camera + "\" was not found!";
        bool is_found = false;
        for (CVideoDevice& candidate : list.devices) {
            if (candidate.Name() == camera) {
                device = std::move(candidate);
                is_found = true;
                break;
            }
        }
        if (!is_found) {
            ShowError(not_found);
            return false;
        }
        std::string bind_error;
        source = device.CreateElement(&bind_error);
        if (!source) {
            // A camera that cannot be bound is as good as absent.
            ShowError(not_found);
            return false;
        }
        gst_object_set_name(GST_OBJECT(source.get()), "Capturer");
        converter = AdoptFloating(gst_element_factory_make("videoconvert", "ColorConverter"));
        if (!converter) {
            ShowError("Colour space convertor was not found!");
            return false;
        }
        // The stored size and rate, where the camera offers them.
        GstCapsPtr offered = OfferedCaps();
        camera_format = RequestedCaps(offered.get(), width ? width->load() : 0, height ? height->load() : 0,
                                      frame_duration_100ns ? frame_duration_100ns->load() : 0);
        if (!AddElements()) return false;
        if (!Connect()) {
            ShowMessage(kInUse, "Warning!", MessageIcon::kWarning);
            return false;
        }
        GraphError failure;
        if (RunGraph(&failure)) return true;
        if (camera_format && IsNegotiationFailure(failure)) {
            // Some sources claim every size and then refuse the stored one: their own format
            // stays in force, as for a camera that does not offer it.
            ReleaseGraph();
            camera_format.reset();
            if (const unsigned code = CreateGraph()) {
                ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", code);
                return false;
            }
            if (!AddElements()) return false;
            if (!Connect()) {
                ShowMessage(kInUse, "Warning!", MessageIcon::kWarning);
                return false;
            }
            if (RunGraph(&failure)) return true;
        }
        ReportRunFailure(failure);
        return false;
    }

    void ShowPinProperties() {
        if (!is_running.load()) return;
        is_running.store(0);
        std::this_thread::sleep_for(kWaitBeforeRebuild);
        const CameraFormat current = CurrentFormat();
        if (pipeline) gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        RemoveDownstream();
        GstCapsPtr offered = OfferedCaps();
        const std::vector<CameraFormat> formats = FormatsFromCaps(offered.get());
        std::optional<CameraFormat> chosen;
        if (pages && !formats.empty()) chosen = pages->ChooseFormat(formats, current);
        // The camera keeps what was chosen, or what it ran with when the pages were cancelled.
        const CameraFormat kept = chosen ? *chosen : current;
        if (kept.width > 0 && kept.height > 0) camera_format = CapsFromFormat(kept);
        ReleaseGraph();
        if (const unsigned failure = CreateGraph()) {
            ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", failure);
            return;
        }
        if (frame_duration_100ns && kept.width > 0) {
            frame_duration_100ns->store(FrameDurationFromRate(kept.rate_numerator, kept.rate_denominator));
        }
        if (!AddElements()) return;
        if (!Connect()) {
            ShowError("m_pCapture->RenderStream");
            return;
        }
        if (!Run()) return;
        std::this_thread::sleep_for(kWaitAfterRestart);
    }

    void ShowFilterProperties() {
        if (!source || !pages) return;
        pages->EditControls(source.get());
    }

    void Destroy() {
        // A frame in progress gets time to finish; an idle graph has none in flight.
        if (is_running.exchange(0) && pipeline) std::this_thread::sleep_for(kWaitBeforeTeardown);
        ReleaseGraph();
        converter.reset();
        source.reset();
    }
};

CWebCameraDlg::CWebCameraDlg(ICaptureMessages& messages) : impl_(std::make_unique<Impl>(messages)) {}

CWebCameraDlg::~CWebCameraDlg() { impl_->Destroy(); }

void CWebCameraDlg::SetFrameReceiver(IFrameReceiver* view) { impl_->view.store(view); }

void CWebCameraDlg::SetPropertyPages(ICameraPropertyPages* pages) { impl_->pages = pages; }

bool CWebCameraDlg::Init(std::string camera_name, std::atomic<int32_t>* width, std::atomic<int32_t>* height,
                         std::atomic<int64_t>* frame_duration_100ns) {
    // A second Init starts from nothing rather than leaving the first graph running unowned.
    impl_->Destroy();
    impl_->width = width;
    impl_->height = height;
    impl_->frame_duration_100ns = frame_duration_100ns;
    impl_->camera = std::move(camera_name);
    return impl_->Init();
}

void CWebCameraDlg::ShowPinProperties() { impl_->ShowPinProperties(); }

void CWebCameraDlg::ShowFilterProperties() { impl_->ShowFilterProperties(); }

bool CWebCameraDlg::IsRunning() const { return impl_->is_running.load() != 0; }

void CWebCameraDlg::AddCamera(std::string name, std::string description) {
    impl_->added_cameras.push_back({std::move(name), std::move(description)});
}

void CWebCameraDlg::SetClockSync(bool is_synced) { impl_->is_clock_synced = is_synced; }

void CWebCameraDlg::SetStreamEndHandler(std::function<void()> on_stream_end) {
    impl_->on_stream_end = std::move(on_stream_end);
}
