#include "capture/capture_graph.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <optional>
#include <thread>

#include <gst/base/gstbasesrc.h>
#include <QObject>

#include "capture/camera_formats.h"
#include "capture/capture_log.h"
#include "capture/frame_sink.h"
#include "capture/gst_bus_watch.h"
#include "capture/video_devices.h"
#include "glib/gst_handles.h"
#include "platform/thread_handover.h"

namespace {

// Whether the sources of the graph are live (a camera) or not (a file, a test pattern that is
// not live); nothing when none of them says.
std::optional<bool> AreSourcesLive(GstElement* pipeline) {
    std::optional<bool> is_live;
    if (!GST_IS_BIN(pipeline)) return is_live;
    const std::unique_ptr<GstIterator, decltype(&gst_iterator_free)> elements(
        gst_bin_iterate_recurse(GST_BIN(pipeline)), &gst_iterator_free);
    GValue item = G_VALUE_INIT;
    bool is_done = false;
    while (!is_done) {
        switch (gst_iterator_next(elements.get(), &item)) {
            case GST_ITERATOR_OK: {
                GstElement* element = GST_ELEMENT(g_value_get_object(&item));
                if (GST_IS_BASE_SRC(element))
                    is_live = is_live.value_or(false) || gst_base_src_is_live(GST_BASE_SRC(element));
                g_value_reset(&item);
                break;
            }
            case GST_ITERATOR_RESYNC:
                gst_iterator_resync(elements.get());
                is_live.reset();
                break;
            default: is_done = true; break;
        }
    }
    g_value_unset(&item);
    return is_live;
}

constexpr auto kWaitBeforeRebuild = std::chrono::milliseconds(300);
constexpr auto kWaitBeforeTeardown = std::chrono::milliseconds(100);
constexpr auto kWaitAfterRestart = std::chrono::milliseconds(500);
constexpr unsigned kUnspecifiedFailure = 0x80004005u;

const char kInUse[] = "Camera is in use by another application";

// An error a graph reported.
struct GraphError {
    GQuark domain = 0;
    int code = 0;
    std::string message;
    std::string debug;
    std::string element;  // the element that reported it
};

GraphError ParseError(GstMessage* message) {
    GraphError error;
    GError* raw_error = nullptr;
    gchar* raw_debug = nullptr;
    gst_message_parse_error(message, &raw_error, &raw_debug);
    GErrorPtr parsed(raw_error);
    GCharPtr debug(raw_debug);
    if (parsed) {
        error.domain = parsed->domain;
        error.code = parsed->code;
        error.message = parsed->message ? parsed->message : "";
    }
    if (debug) error.debug = debug.get();
    if (GST_MESSAGE_SRC(message)) error.element = GST_OBJECT_NAME(GST_MESSAGE_SRC(message));
    return error;
}

// Adds an element we hold to the bin, which takes a reference of its own; a refusal leaves ours.
bool AddToBin(GstBin* bin, GstElement* element) { return element != nullptr && gst_bin_add(bin, element); }

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
    std::function<void(const StreamEnd&)> on_stream_end;

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
    GstCapsPtr camera_format;           // asked of the camera; empty = the camera's own format
    bool is_format_fallback_done = false;
    std::atomic<bool> is_live{true};     // read by the streaming thread, which may run before it is set
    std::atomic<bool> has_frame{false};  // a frame arrived since the graph was set running
    // Parent of the bus watches; a watch that is let go is deleted later, never inside its handler.
    std::unique_ptr<QObject> ui_context = std::make_unique<QObject>();
    CGstBusWatch* bus_watch = nullptr;

    // --- frame sink owner, streaming thread ---
    void OnFrameSize(int32_t frame_width, int32_t frame_height) override {
        if (width) width->store(frame_width);
        if (height) height->store(frame_height);
    }
    void OnFrame(const CameraFrame& frame) override {
        IFrameReceiver* receiver = view.load();
        if (!is_running.load() || !receiver) return;
        has_frame.store(true, std::memory_order_relaxed);
        try {
            receiver->ProcessFrame(frame);
        } catch (const std::exception& error) {
            TellFrameLost(error.what());  // one bad frame must not stop the stream
        } catch (...) {
            TellFrameLost("unknown error");
        }
    }
    void OnFrameUnusable(const std::string& cause) override {
        IFrameReceiver* receiver = view.load();
        if (!is_running.load() || !receiver) return;
        try {
            receiver->FrameUnusable(cause);
        } catch (const std::exception& error) {
            TellFrameLost(error.what());
        } catch (...) {
            TellFrameLost("unknown error");
        }
    }
    // Said at once, then at most every 10 s while frames go on failing, with how many did.
    void TellFrameLost(const char* reason) {
        ++lost_frame_count;
        const auto now = std::chrono::steady_clock::now();
        if (lost_frame_count > 1 && now - last_lost_frame_told < std::chrono::seconds(10)) return;
        qCWarning(lcCapture, "a frame could not be processed (%s); %" PRId64 " so far", reason, lost_frame_count);
        last_lost_frame_told = now;
    }
    int64_t lost_frame_count = 0;  // streaming thread only
    std::chrono::steady_clock::time_point last_lost_frame_told;

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

    // Creates the empty graph and watches its bus; returns 0 or a failure code.
    unsigned CreateGraph() {
        pipeline = AdoptFloating(gst_pipeline_new("capture"));
        if (!pipeline) return kUnspecifiedFailure;
        GstObjectPtr<GstBus> bus(gst_element_get_bus(pipeline.get()));
        if (!bus) return kUnspecifiedFailure;
        bus_watch = new CGstBusWatch(
            bus.get(), [this](GstMessage* message) { OnBusMessage(message); }, ui_context.get());
        return 0;
    }

    // Stops the graph (waiting for a frame in progress) and forgets it; the camera element stays.
    void ReleaseGraph() {
        if (!pipeline) return;
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        if (bus_watch) {
            bus_watch->Detach();
            bus_watch->deleteLater();
            bus_watch = nullptr;
        }
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

    // Whether the camera's output (the format asked of it, else what it offers) needs the
    // colour converter before the sink; unknown output gets it.
    bool NeedsConverter() const {
        GstCapsPtr offered = OfferedCaps();
        if (!offered || gst_caps_is_empty(offered.get())) return !camera_format;
        GstCapsPtr output(camera_format ? gst_caps_intersect(camera_format.get(), offered.get())
                                        : gst_caps_ref(offered.get()));
        return !gst_caps_can_intersect(output.get(), VRender::AcceptedCaps().get());
    }

    // Builds camera -> [format] -> [converter] -> [queue] -> renderer: the camera's own formats
    // go to the sink as they are, anything else through the converter. False after reporting
    // which step failed; link_failure is the message for a graph that does not connect.
    bool BuildGraph(const std::string& link_failure, const std::string& link_caption, MessageIcon link_icon) {
        GstBin* bin = GST_BIN(pipeline.get());
        if (!AddToBin(bin, source.get())) {
            ShowError("Could not add Capture Filter!");
            return false;
        }
        renderer = std::make_unique<VRender>(*this, is_clock_synced);
        if (!AddToBin(bin, renderer->Element())) {
            ShowError("Could not add Renderer Filter!");
            return false;
        }
        const bool is_converted = NeedsConverter();
        if (is_converted && !AddToBin(bin, converter.get())) {
            ShowError("Could not add Color Converter Filter!");
            return false;
        }
        qCDebug(lcCapture) << (is_converted ? "the camera's format goes through the colour converter"
                                            : "the camera's format goes to the sink as it is");
        // The elements in between are ours alone until the bin takes them.
        std::vector<GstObjectPtr<GstElement>> made;
        std::vector<GstElement*> chain = {source.get()};
        auto add = [&](const char* factory, const char* name) {
            made.push_back(AdoptFloating(gst_element_factory_make(factory, name)));
            chain.push_back(made.back().get());
            return made.back().get();
        };
        if (camera_format) {
            if (GstElement* filter = add("capsfilter", "CameraFormat")) {
                g_object_set(filter, "caps", camera_format.get(), nullptr);
            }
        }
        if (is_converted) chain.push_back(converter.get());
        if (!is_clock_synced) {
            // Without a clock the source runs ahead: let reading (and converting) overlap with the
            // frame pipeline on the second core. The queue blocks when full, so no frame is lost.
            if (GstElement* queue = add("queue", "FrameQueue")) {
                g_object_set(queue, "max-size-buffers", 2u, "max-size-bytes", 0u, "max-size-time",
                             G_GUINT64_CONSTANT(0), nullptr);
            }
        }
        chain.push_back(renderer->Element());
        bool is_linked = true;
        for (const GstObjectPtr<GstElement>& element : made) is_linked = is_linked && AddToBin(bin, element.get());
        for (size_t i = 1; i < chain.size() && is_linked; ++i) is_linked = gst_element_link(chain[i - 1], chain[i]);
        if (!is_linked) {
            qCWarning(lcCapture) << "the capture graph does not connect";
            ShowMessage(link_failure, link_caption, link_icon);
        }
        return is_linked;
    }

    // A network camera's faults are said in words; the library's own go to the debug text.
    GraphError ParseCameraError(GstMessage* message) const {
        GraphError error = ParseError(message);
        const NetworkCamera* network = device.Network();
        if (!network) return error;
        const std::string words = NetworkErrorInWords(*network, error.domain, error.code, error.message, error.debug);
        if (words.empty()) return error;
        error.debug = error.message + (error.debug.empty() ? "" : " (" + error.debug + ")");
        error.message = words;
        return error;
    }

    // The first error the graph left on its bus; taken before the graph stops, which empties the bus.
    GraphError TakeBusError() {
        GraphError error;
        GstObjectPtr<GstBus> bus(pipeline ? gst_element_get_bus(pipeline.get()) : nullptr);
        while (bus) {
            GstMessagePtr message(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
            if (!message) break;
            if (error.domain == 0) error = ParseCameraError(message.get());
        }
        if (error.domain != 0) {
            qCInfo(lcCapture).noquote() << "the camera did not start:" << QString::fromStdString(error.message) << "("
                                        << QString::fromStdString(error.debug) << ")";
        }
        return error;
    }

    void ReportRunFailure(const GraphError& error) {
        if (error.domain == GST_RESOURCE_ERROR && error.code == GST_RESOURCE_ERROR_BUSY) {
            ShowMessage(kInUse, "Warning!", MessageIcon::kWarning);
        } else {
            ShowMessage(FormatErrorText(error), "Could not access camera", MessageIcon::kError);
        }
    }

    // Sets the graph running without waiting on this thread: a file source prerolls on its own
    // thread, and whatever fails after the state change arrives on the bus. The running flag is
    // set first, so the first frame is never dropped. False with the error when it failed at once.
    bool RunGraph(GraphError* failure) {
        has_frame.store(false);
        is_running.store(1);
        // What the streaming threads read of this graph is set: they may be pooled threads of
        // GStreamer's, started through GLib's own queue.
        if (renderer) MarkHandedOver(renderer.get());
        GstStateChangeReturn result = gst_element_set_state(pipeline.get(), GST_STATE_PAUSED);
        if (result != GST_STATE_CHANGE_FAILURE) {
            // The sources say whether they are live: an element that syncs to the clock (identity
            // sync=true) also answers "no preroll" for a file.
            is_live = AreSourcesLive(pipeline.get()).value_or(result == GST_STATE_CHANGE_NO_PREROLL);
            result = gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
        }
        if (result != GST_STATE_CHANGE_FAILURE) return true;
        is_running.store(0);
        // The state change failed on this thread, which posted its error before returning.
        *failure = TakeBusError();
        gst_element_set_state(pipeline.get(), GST_STATE_NULL);
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

    // Bus messages of the running graph, on the user-interface thread.
    void OnBusMessage(GstMessage* message) {
        switch (GST_MESSAGE_TYPE(message)) {
            case GST_MESSAGE_ERROR: OnStreamEvent(true, ParseCameraError(message)); break;
            case GST_MESSAGE_EOS: OnStreamEvent(false, {}); break;
            case GST_MESSAGE_WARNING: {
                GError* raw_error = nullptr;
                gchar* raw_debug = nullptr;
                gst_message_parse_warning(message, &raw_error, &raw_debug);
                GErrorPtr warning(raw_error);
                GCharPtr debug(raw_debug);
                qCWarning(lcCapture).noquote()
                    << GST_OBJECT_NAME(GST_MESSAGE_SRC(message)) << "warns:" << (warning ? warning->message : "") << "("
                    << (debug ? debug.get() : "") << ")";
                break;
            }
            default: break;
        }
    }

    // The source ended or failed while running (camera unplugged, end of file, a failure on the
    // streaming thread).
    void OnStreamEvent(bool is_error, GraphError error) {
        if (!is_running.load()) return;
        if (is_error) {
            qCInfo(lcCapture).noquote() << "stream error from" << QString::fromStdString(error.element) << ":"
                                        << QString::fromStdString(error.message) << "("
                                        << QString::fromStdString(error.debug) << ")";
        } else {
            qCInfo(lcCapture) << "the source reached its end";
        }
        if (is_error && !has_frame.load() && camera_format && !is_format_fallback_done && IsNegotiationFailure(error)) {
            // Some sources claim every size and then refuse the stored one: their own format
            // stays in force, as for a camera that does not offer it.
            is_format_fallback_done = true;
            is_running.store(0);
            ReleaseGraph();
            camera_format.reset();
            qCInfo(lcCapture) << "the camera refused the stored format; it runs in its own";
            GraphError restart_error;
            if (const unsigned code = CreateGraph()) {
                ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", code);
            } else if (BuildGraph(kInUse, "Warning!", MessageIcon::kWarning)) {
                if (RunGraph(&restart_error)) return;
                ReportRunFailure(restart_error);
            }
            if (restart_error.message.empty()) restart_error.message = "the camera could not start in its own format";
            if (on_stream_end) on_stream_end(StreamEnd{true, restart_error.message, restart_error.debug, is_live});
            return;
        }
        is_running.store(0);
        if (pipeline) gst_element_set_state(pipeline.get(), GST_STATE_NULL);
        if (is_error) ReportRunFailure(error);
        if (on_stream_end) on_stream_end(StreamEnd{is_error, error.message, error.debug, is_live});
    }

    double FrameIntervalMs() const {
        if (!renderer || !renderer->Element()) return 0;
        GstObjectPtr<GstPad> pad(gst_element_get_static_pad(renderer->Element(), "sink"));
        GstCapsPtr caps(pad ? gst_pad_get_current_caps(pad.get()) : nullptr);
        if (!caps || gst_caps_get_size(caps.get()) == 0) return 0;
        int numerator = 0;
        int denominator = 0;
        if (!gst_structure_get_fraction(gst_caps_get_structure(caps.get(), 0), "framerate", &numerator, &denominator) ||
            numerator <= 0 || denominator <= 0) {
            return 0;
        }
        return 1000.0 * denominator / numerator;
    }

    bool Init() {
        if (camera.empty()) {
            ShowError("Camera Direct Show Source was not selected!");
            return false;
        }
        GError* raw_error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &raw_error)) {
            GErrorPtr init_error(raw_error);
            qCWarning(lcCapture) << "GStreamer cannot start:" << (init_error ? init_error->message : "unknown error");
            ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", kUnspecifiedFailure);
            return false;
        }
        if (const unsigned failure = CreateGraph()) {
            ShowCaptureMessage("Failed to get video interfaces!  hr=0x%x", failure);
            return false;
        }
        VideoDeviceList list = ListVideoDevices(added_cameras);
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
            // A camera that cannot be bound is as good as absent; the library says why.
            ShowError(not_found + "\n" + bind_error);
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
        // The height setting is negative once frames came top row first; the size is its absolute value.
        camera_format = RequestedCaps(offered.get(), width ? width->load() : 0, height ? std::abs(height->load()) : 0,
                                      frame_duration_100ns ? frame_duration_100ns->load() : 0);
        is_format_fallback_done = false;
        if (!BuildGraph(kInUse, "Warning!", MessageIcon::kWarning)) return false;
        return Run();
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
        if (!BuildGraph("m_pCapture->RenderStream", "Error", MessageIcon::kError)) return;
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

void CWebCameraDlg::AddNetworkCamera(std::string name, NetworkCamera camera) {
    impl_->added_cameras.push_back({std::move(name), std::string(), std::move(camera)});
}

void CWebCameraDlg::SetClockSync(bool is_synced) { impl_->is_clock_synced = is_synced; }

void CWebCameraDlg::SetStreamEndHandler(std::function<void(const StreamEnd&)> on_stream_end) {
    impl_->on_stream_end = std::move(on_stream_end);
}

void CWebCameraDlg::Stop() { impl_->Destroy(); }

bool CWebCameraDlg::IsLive() const { return impl_->is_live; }

double CWebCameraDlg::FrameIntervalMs() const { return impl_->FrameIntervalMs(); }
