#pragma once

// A network camera for the tests: an RTSP server on 127.0.0.1 in the test process, serving a
// live test pattern as H.264 (/h264) and as JPEG (/mjpeg), to anyone or, when made with a
// password, only to kUser with that password. It runs its own main loop on a thread of its own, and can be stopped and
// started again on the same port.
#include <gst/rtsp-server/rtsp-server.h>

#include <string>
#include <thread>

class RtspCameraServer {
public:
    static constexpr const char* kUser = "viewer";

    explicit RtspCameraServer(std::string password = {}) : password_(std::move(password)) {}
    ~RtspCameraServer() { Stop(); }
    RtspCameraServer(const RtspCameraServer&) = delete;
    RtspCameraServer& operator=(const RtspCameraServer&) = delete;

    // Listens on the port of the last start, else on any free one; false when it cannot.
    bool Start() {
        if (context_) return true;
        context_ = g_main_context_new();
        loop_ = g_main_loop_new(context_, FALSE);
        server_ = gst_rtsp_server_new();
        gst_rtsp_server_set_address(server_, "127.0.0.1");
        gst_rtsp_server_set_service(server_, std::to_string(port_).c_str());
        GstRTSPMountPoints* mounts = gst_rtsp_server_get_mount_points(server_);
        const std::string pattern =
            "videotestsrc is-live=true pattern=ball ! video/x-raw,format=I420,width=160,height=120,framerate=15/1 ! ";
        AddMount(
            mounts, "/h264",
            pattern + "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=15 ! rtph264pay name=pay0 pt=96");
        AddMount(mounts, "/mjpeg", pattern + "jpegenc ! rtpjpegpay name=pay0 pt=26");
        g_object_unref(mounts);
        if (!password_.empty()) RequirePassword();
        GError* error = nullptr;
        GSource* source = gst_rtsp_server_create_source(server_, nullptr, &error);
        if (!source) {
            if (error) g_error_free(error);
            Release();
            return false;
        }
        g_source_attach(source, context_);
        g_source_unref(source);
        source_ = source;
        port_ = gst_rtsp_server_get_bound_port(server_);
        thread_ = std::thread([loop = loop_] { g_main_loop_run(loop); });
        return true;
    }

    // Closes the port and every client's connection: the camera is gone from the network.
    void Stop() {
        if (!context_) return;
        // Through the loop's own context: a quit before the loop runs would be lost.
        GSource* quit = g_idle_source_new();
        g_source_set_callback(
            quit,
            [](gpointer loop) {
                g_main_loop_quit(static_cast<GMainLoop*>(loop));
                return G_SOURCE_REMOVE;
            },
            loop_, nullptr);
        g_source_attach(quit, context_);
        g_source_unref(quit);
        if (thread_.joinable()) thread_.join();
        gst_rtsp_server_client_filter(server_, &RemoveClient, nullptr);
        g_source_destroy(source_);
        GstRTSPSessionPool* pool = gst_rtsp_server_get_session_pool(server_);
        gst_rtsp_session_pool_filter(pool, &RemoveSession, nullptr);
        g_object_unref(pool);
        Release();
    }

    int Port() const { return port_; }
    std::string Url(const std::string& path) const { return "rtsp://127.0.0.1:" + std::to_string(port_) + path; }

private:
    static GstRTSPFilterResult RemoveClient(GstRTSPServer*, GstRTSPClient*, gpointer) { return GST_RTSP_FILTER_REMOVE; }
    static GstRTSPFilterResult RemoveSession(GstRTSPSessionPool*, GstRTSPSession*, gpointer) {
        return GST_RTSP_FILTER_REMOVE;
    }

    // Basic authentication: a client without the password is asked for it (401).
    void RequirePassword() {
        GstRTSPAuth* auth = gst_rtsp_auth_new();
        GstRTSPToken* user = gst_rtsp_token_new(GST_RTSP_TOKEN_MEDIA_FACTORY_ROLE, G_TYPE_STRING, "user", nullptr);
        gchar* basic = gst_rtsp_auth_make_basic(kUser, password_.c_str());
        gst_rtsp_auth_add_basic(auth, basic, user);
        g_free(basic);
        gst_rtsp_token_unref(user);
        gst_rtsp_server_set_auth(server_, auth);
        g_object_unref(auth);
    }

    static void AddMount(GstRTSPMountPoints* mounts, const char* path, const std::string& launch) {
        GstRTSPMediaFactory* factory = gst_rtsp_media_factory_new();
        gst_rtsp_media_factory_set_launch(factory, ("( " + launch + " )").c_str());
        gst_rtsp_media_factory_set_shared(factory, TRUE);
        gst_rtsp_media_factory_add_role(factory, "user", GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN, TRUE,
                                        GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
        gst_rtsp_mount_points_add_factory(mounts, path, factory);
    }

    void Release() {
        if (server_) g_object_unref(server_);
        if (loop_) g_main_loop_unref(loop_);
        if (context_) g_main_context_unref(context_);
        server_ = nullptr;
        loop_ = nullptr;
        context_ = nullptr;
        source_ = nullptr;
    }

    const std::string password_;
    int port_ = 0;
    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GstRTSPServer* server_ = nullptr;
    GSource* source_ = nullptr;  // held by the context while attached
    std::thread thread_;
};
