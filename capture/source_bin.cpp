#include "capture/source_bin.h"

#include <mutex>
#include <string_view>
#include <vector>

#include "capture/capture_log.h"

namespace {

std::string Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos) return {};
    const size_t last = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(first, last - first + 1));
}

// The pad that ends the chain, once it appears, linked to the bin's source pad.
struct DelayedLink {
    GstBin* bin = nullptr;    // holds the element whose pad this waits for
    GstPad* ghost = nullptr;  // the bin's "src", without a target until the pad appears
    GstCapsPtr tail_caps;     // the description's trailing caps; empty when none
    std::mutex mutex;         // pads may appear on several streaming threads at once
    bool is_linked = false;
    GstPad* linked_pad = nullptr;    // identity only: the pad linked
    std::vector<GstElement*> added;  // what was added to the bin for it, held by the bin
};

void FreeDelayedLink(gpointer data, GClosure*) { delete static_cast<DelayedLink*>(data); }

// Adds a new element to the bin, running in the bin's state; null after logging when it fails.
GstElement* AddRunning(GstBin* bin, const char* factory, std::vector<GstElement*>* added) {
    GstElement* element = gst_element_factory_make(factory, nullptr);
    if (!element) {
        qCWarning(lcCapture) << "the source's pad cannot be linked: no" << factory << "element";
        return nullptr;
    }
    if (!gst_bin_add(bin, element)) {
        gst_object_unref(gst_object_ref_sink(element));
        return nullptr;
    }
    if (added) added->push_back(element);
    gst_element_sync_state_with_parent(element);
    return element;
}

// Links pad through the elements the tail needs and returns the pad that ends it (a reference
// of its own), or null. is_raw: raw video, which goes through a converter so that the frame
// sink gets a format it takes.
GstPad* LinkTail(GstBin* bin, GstPad* pad, bool is_raw, GstCaps* tail_caps, std::vector<GstElement*>* added) {
    GstPad* end = GST_PAD(gst_object_ref(pad));
    const auto append = [&](GstElement* element) {
        if (!element) return false;
        GstObjectPtr<GstPad> sink(gst_element_get_static_pad(element, "sink"));
        const GstPadLinkReturn result = sink ? gst_pad_link(end, sink.get()) : GST_PAD_LINK_REFUSED;
        if (result != GST_PAD_LINK_OK) {
            qCWarning(lcCapture).noquote() << "the source's pad does not link:" << gst_pad_link_get_name(result);
            return false;
        }
        gst_object_unref(end);
        end = gst_element_get_static_pad(element, "src");
        return end != nullptr;
    };
    bool is_linked = !is_raw || append(AddRunning(bin, "videoconvert", added));
    if (is_linked && tail_caps) {
        GstElement* filter = AddRunning(bin, "capsfilter", added);
        if (filter) g_object_set(filter, "caps", tail_caps, nullptr);
        is_linked = append(filter);
    }
    if (is_linked) return end;
    if (end) gst_object_unref(end);
    return nullptr;
}

enum class PadMedia { kRaw, kJpeg, kOther };

PadMedia MediaOf(GstPad* pad) {
    GstCapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps) caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_is_empty(caps.get()) || gst_caps_is_any(caps.get())) return PadMedia::kOther;
    const GstStructure* structure = gst_caps_get_structure(caps.get(), 0);
    if (gst_structure_has_name(structure, "video/x-raw")) return PadMedia::kRaw;
    if (gst_structure_has_name(structure, "image/jpeg")) return PadMedia::kJpeg;
    return PadMedia::kOther;
}

void PostLinkError(GstElement* element, const std::string& text) {
    GError* error = g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, text.c_str());
    gst_element_post_message(element, gst_message_new_error(GST_OBJECT(element), error, nullptr));
    g_error_free(error);
}

void OnPadAdded(GstElement* element, GstPad* pad, gpointer data) {
    auto* link = static_cast<DelayedLink*>(data);
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC) return;
    const PadMedia media = MediaOf(pad);
    GCharPtr pad_name(gst_pad_get_name(pad));
    if (media == PadMedia::kOther) {
        qCDebug(lcCapture) << "the source's pad" << pad_name.get() << "carries neither raw video nor JPEG: left alone";
        return;
    }
    const std::lock_guard<std::mutex> lock(link->mutex);
    if (link->is_linked) return;
    GstObjectPtr<GstPad> end(LinkTail(link->bin, pad, media == PadMedia::kRaw, link->tail_caps.get(), &link->added));
    if (!end || !gst_ghost_pad_set_target(GST_GHOST_PAD(link->ghost), end.get())) {
        PostLinkError(element, std::string("the source's pad ") + pad_name.get() + " cannot be linked to the recorder");
        return;
    }
    link->is_linked = true;
    link->linked_pad = pad;
    qCDebug(lcCapture) << "the source's pad" << pad_name.get() << "is linked";
}

// The pad linked goes (the source is started again): what was added for it goes too, and the
// next pad that appears is linked instead.
void OnPadRemoved(GstElement*, GstPad* pad, gpointer data) {
    auto* link = static_cast<DelayedLink*>(data);
    const std::lock_guard<std::mutex> lock(link->mutex);
    if (!link->is_linked || pad != link->linked_pad) return;
    gst_ghost_pad_set_target(GST_GHOST_PAD(link->ghost), nullptr);
    for (GstElement* element : link->added) {
        gst_element_set_state(element, GST_STATE_NULL);
        gst_bin_remove(link->bin, element);
    }
    link->added.clear();
    link->is_linked = false;
    link->linked_pad = nullptr;
}

void OnNoMorePads(GstElement* element, gpointer data) {
    auto* link = static_cast<DelayedLink*>(data);
    const std::lock_guard<std::mutex> lock(link->mutex);
    if (!link->is_linked) PostLinkError(element, "the source gives neither raw video nor JPEG");
}

bool HasSometimesSourcePads(GstElement* element) {
    for (const GList* item = gst_element_class_get_pad_template_list(GST_ELEMENT_GET_CLASS(element)); item;
         item = item->next) {
        auto* pad_template = static_cast<GstPadTemplate*>(item->data);
        if (GST_PAD_TEMPLATE_DIRECTION(pad_template) == GST_PAD_SRC &&
            GST_PAD_TEMPLATE_PRESENCE(pad_template) == GST_PAD_SOMETIMES) {
            return true;
        }
    }
    return false;
}

// The chain's end: an unlinked source pad that is there now (*pad, a reference), else an element
// whose source pads come later and none of which is linked yet (*later, a reference).
void FindChainEnd(GstBin* bin, GstPad** pad, GstElement** later) {
    GstIteratorPtr elements(gst_bin_iterate_elements(bin));
    GValue item = G_VALUE_INIT;
    while (!*pad && elements && gst_iterator_next(elements.get(), &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        bool has_linked_source = false;
        GstIteratorPtr pads(gst_element_iterate_src_pads(element));
        GValue pad_item = G_VALUE_INIT;
        while (pads && gst_iterator_next(pads.get(), &pad_item) == GST_ITERATOR_OK) {
            auto* source_pad = GST_PAD(g_value_get_object(&pad_item));
            if (gst_pad_is_linked(source_pad)) {
                has_linked_source = true;
            } else if (!*pad) {
                *pad = GST_PAD(gst_object_ref(source_pad));
            }
            g_value_reset(&pad_item);
        }
        g_value_unset(&pad_item);
        if (!*pad && !*later && !has_linked_source && HasSometimesSourcePads(element)) {
            *later = GST_ELEMENT(gst_object_ref(element));
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
}

}  // namespace

void SplitTrailingCaps(const std::string& description, std::string* head, std::string* caps) {
    *head = description;
    caps->clear();
    // The last link outside quotes.
    size_t last_link = std::string::npos;
    char quote = 0;
    for (size_t i = 0; i < description.size(); ++i) {
        const char c = description[i];
        if (quote != 0) {
            if (c == '\\' && i + 1 < description.size()) {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '!') {
            last_link = i;
        }
    }
    if (last_link == std::string::npos) return;
    const std::string tail = Trim(std::string_view(description).substr(last_link + 1));
    // An element's name never holds '/': "video/x-raw,..." is caps, "filesrc location=/a" is not.
    const size_t name_end = tail.find_first_of(", \t(;");
    if (tail.substr(0, name_end).find('/') == std::string::npos) return;
    *head = Trim(std::string_view(description).substr(0, last_link));
    *caps = tail;
}

GstObjectPtr<GstElement> MakeSourceBin(const std::string& description, std::string* error) {
    std::string head;
    std::string caps_text;
    SplitTrailingCaps(description, &head, &caps_text);
    GstCapsPtr tail_caps;
    if (!caps_text.empty()) {
        tail_caps.reset(gst_caps_from_string(caps_text.c_str()));
        if (!tail_caps) {
            *error = "the caps at its end cannot be read: " + caps_text;
            return {};
        }
        if (head.empty()) {
            *error = "it names no element before its caps";
            return {};
        }
    }
    GError* raw_error = nullptr;
    GstObjectPtr<GstElement> bin = AdoptFloating(gst_parse_bin_from_description(head.c_str(), FALSE, &raw_error));
    GErrorPtr parse_error(raw_error);
    if (parse_error) {
        // A description with an unknown element may still give a partial bin; never use it.
        *error = parse_error->message;
        return {};
    }
    if (!bin) {
        *error = "the description gave no element";
        return {};
    }
    GstPad* raw_pad = nullptr;
    GstElement* raw_later = nullptr;
    FindChainEnd(GST_BIN(bin.get()), &raw_pad, &raw_later);
    GstObjectPtr<GstPad> pad(raw_pad);
    GstObjectPtr<GstElement> later(raw_later);
    if (pad) {
        // There now: linked at once; the graph's own converter deals with its format.
        GstObjectPtr<GstPad> end(LinkTail(GST_BIN(bin.get()), pad.get(), false, tail_caps.get(), nullptr));
        GstPad* ghost = end ? gst_ghost_pad_new("src", end.get()) : nullptr;
        if (!ghost || !gst_element_add_pad(bin.get(), ghost)) {
            *error = "its end cannot be linked to the recorder";
            return {};
        }
        return bin;
    }
    if (!later) {
        *error = "it ends in no pad that gives pictures";
        return {};
    }
    if (!LinkLaterPads(bin.get(), later.get(), std::move(tail_caps), error)) return {};
    return bin;
}

bool LinkLaterPads(GstElement* bin, GstElement* later, GstCapsPtr tail_caps, std::string* error) {
    GstPad* ghost = gst_ghost_pad_new_no_target("src", GST_PAD_SRC);
    if (!ghost || !gst_element_add_pad(bin, ghost)) {
        *error = "its end cannot be linked to the recorder";
        return false;
    }
    auto* link = new DelayedLink;
    link->bin = GST_BIN(bin);
    link->ghost = ghost;
    link->tail_caps = std::move(tail_caps);
    g_signal_connect_data(later, "pad-added", G_CALLBACK(&OnPadAdded), link, &FreeDelayedLink,
                          static_cast<GConnectFlags>(0));
    g_signal_connect(later, "pad-removed", G_CALLBACK(&OnPadRemoved), link);
    g_signal_connect(later, "no-more-pads", G_CALLBACK(&OnNoMorePads), link);
    return true;
}
