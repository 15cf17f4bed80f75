#include "capture/dialogs/camera_controls_dlg.h"

#include <gst/video/colorbalance.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QVBoxLayout>
#include <climits>

namespace {

// The element that produces the picture: the camera itself, or the first source inside a bin.
GstObjectPtr<GstElement> SourceElementOf(GstElement* camera) {
    if (!GST_IS_BIN(camera)) return ShareObject(camera);
    GstIteratorPtr sources(gst_bin_iterate_sources(GST_BIN(camera)));
    GValue item = G_VALUE_INIT;
    GstObjectPtr<GstElement> found;
    if (sources && gst_iterator_next(sources.get(), &item) == GST_ITERATOR_OK) {
        found = ShareObject(GST_ELEMENT(g_value_get_object(&item)));
        g_value_unset(&item);
    }
    return found ? std::move(found) : ShareObject(camera);
}

GstObjectPtr<GstElement> ColourBalanceOf(GstElement* camera) {
    if (GST_IS_COLOR_BALANCE(camera)) return ShareObject(camera);
    if (!GST_IS_BIN(camera)) return {};
    return GstObjectPtr<GstElement>(gst_bin_get_by_interface(GST_BIN(camera), GST_TYPE_COLOR_BALANCE));
}

bool IsEditable(const GParamSpec* param) {
    const GParamFlags flags = param->flags;
    if (!(flags & G_PARAM_WRITABLE) || !(flags & G_PARAM_READABLE)) return false;
    if (flags & G_PARAM_CONSTRUCT_ONLY) return false;
    // Changeable only while stopped: the graph keeps running here.
    if ((flags & GST_PARAM_MUTABLE_READY) && !(flags & GST_PARAM_MUTABLE_PLAYING)) return false;
    const std::string name = param->name;
    return name != "name" && name != "parent";
}

}  // namespace

CCameraControlsDlg::CCameraControlsDlg(GstElement* camera, QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("Camera Filter"));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* page = new QWidget(scroll);
    auto* form = new QFormLayout(page);
    if (camera) {
        balance_ = ColourBalanceOf(camera);
        properties_ = SourceElementOf(camera);
        AddColourBalance(form);
        AddProperties(form);
    }
    if (control_count_ == 0) form->addRow(new QLabel(tr("This camera has no controls."), page));
    scroll->setWidget(page);
    layout->addWidget(scroll);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::accept);
    layout->addWidget(buttons);

    // As large as the controls ask, as far as the screen allows; beyond that the page scrolls.
    const QMargins margins = layout->contentsMargins();
    const int chrome_px = 2 * scroll->frameWidth() + style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, scroll);
    const QSize page_size = page->sizeHint();
    const QSize wanted(margins.left() + page_size.width() + chrome_px + margins.right(),
                       margins.top() + page_size.height() + chrome_px + layout->spacing() +
                           buttons->sizeHint().height() + margins.bottom());
    const QScreen* shown_on = screen();
    resize(shown_on != nullptr ? wanted.boundedTo(shown_on->availableGeometry().size()) : wanted);
}

void CCameraControlsDlg::AddColourBalance(QFormLayout* form) {
    if (!balance_) return;
    GstColorBalance* balance = GST_COLOR_BALANCE(balance_.get());
    for (const GList* item = gst_color_balance_list_channels(balance); item; item = item->next) {
        GstColorBalanceChannel* channel = GST_COLOR_BALANCE_CHANNEL(item->data);
        auto* slider = new QSlider(Qt::Horizontal, form->parentWidget());
        slider->setObjectName(QStringLiteral("balance:%1").arg(QString::fromUtf8(channel->label)));
        slider->setRange(channel->min_value, channel->max_value);
        slider->setValue(gst_color_balance_get_value(balance, channel));
        // The channel list belongs to the element, which this dialog keeps alive.
        connect(slider, &QSlider::valueChanged, this,
                [balance, channel](int value) { gst_color_balance_set_value(balance, channel, value); });
        form->addRow(QString::fromUtf8(channel->label), slider);
        ++control_count_;
    }
}

void CCameraControlsDlg::AddProperties(QFormLayout* form) {
    if (!properties_) return;
    guint count = 0;
    GParamSpec** specs = g_object_class_list_properties(G_OBJECT_GET_CLASS(properties_.get()), &count);
    for (guint i = 0; i < count; ++i) {
        if (IsEditable(specs[i])) AddProperty(form, specs[i]);
    }
    g_free(specs);
}

void CCameraControlsDlg::AddProperty(QFormLayout* form, GParamSpec* param) {
    GObject* object = G_OBJECT(properties_.get());
    const char* name = param->name;
    const QString label = QString::fromUtf8(g_param_spec_get_nick(param));
    QWidget* parent = form->parentWidget();
    QWidget* editor = nullptr;
    const GType type = G_PARAM_SPEC_VALUE_TYPE(param);
    if (type == G_TYPE_BOOLEAN) {
        gboolean value = FALSE;
        g_object_get(object, name, &value, nullptr);
        auto* box = new QCheckBox(parent);
        box->setChecked(value);
        connect(box, &QCheckBox::toggled, this, [object, name](bool on) { g_object_set(object, name, on, nullptr); });
        editor = box;
    } else if (G_IS_PARAM_SPEC_INT(param) || G_IS_PARAM_SPEC_UINT(param)) {
        auto* box = new QSpinBox(parent);
        if (G_IS_PARAM_SPEC_INT(param)) {
            box->setRange(G_PARAM_SPEC_INT(param)->minimum, G_PARAM_SPEC_INT(param)->maximum);
            gint value = 0;
            g_object_get(object, name, &value, nullptr);
            box->setValue(value);
            connect(box, &QSpinBox::valueChanged, this,
                    [object, name](int chosen) { g_object_set(object, name, chosen, nullptr); });
        } else {
            const GParamSpecUInt* range = G_PARAM_SPEC_UINT(param);
            box->setRange(static_cast<int>(std::min<guint>(range->minimum, INT_MAX)),
                          static_cast<int>(std::min<guint>(range->maximum, INT_MAX)));
            guint value = 0;
            g_object_get(object, name, &value, nullptr);
            box->setValue(static_cast<int>(std::min<guint>(value, INT_MAX)));
            connect(box, &QSpinBox::valueChanged, this,
                    [object, name](int chosen) { g_object_set(object, name, static_cast<guint>(chosen), nullptr); });
        }
        editor = box;
    } else if (G_IS_PARAM_SPEC_DOUBLE(param)) {
        auto* box = new QDoubleSpinBox(parent);
        box->setDecimals(3);
        box->setRange(G_PARAM_SPEC_DOUBLE(param)->minimum, G_PARAM_SPEC_DOUBLE(param)->maximum);
        gdouble value = 0;
        g_object_get(object, name, &value, nullptr);
        box->setValue(value);
        connect(box, &QDoubleSpinBox::valueChanged, this,
                [object, name](double chosen) { g_object_set(object, name, chosen, nullptr); });
        editor = box;
    } else if (G_IS_PARAM_SPEC_ENUM(param)) {
        auto* box = new QComboBox(parent);
        GEnumClass* enum_class = G_PARAM_SPEC_ENUM(param)->enum_class;
        gint value = 0;
        g_object_get(object, name, &value, nullptr);
        for (guint i = 0; i < enum_class->n_values; ++i) {
            box->addItem(QString::fromUtf8(enum_class->values[i].value_nick), enum_class->values[i].value);
            if (enum_class->values[i].value == value) box->setCurrentIndex(static_cast<int>(i));
        }
        connect(box, &QComboBox::currentIndexChanged, this, [object, name, box](int index) {
            if (index >= 0) g_object_set(object, name, box->itemData(index).toInt(), nullptr);
        });
        editor = box;
    } else if (type == G_TYPE_STRING) {
        gchar* value = nullptr;
        g_object_get(object, name, &value, nullptr);
        auto* line = new QLineEdit(QString::fromUtf8(value ? value : ""), parent);
        g_free(value);
        connect(line, &QLineEdit::editingFinished, this, [object, name, line] {
            g_object_set(object, name, line->text().toUtf8().constData(), nullptr);
        });
        editor = line;
    }
    if (!editor) return;
    editor->setObjectName(QString::fromUtf8(name));
    editor->setToolTip(QString::fromUtf8(g_param_spec_get_blurb(param)));
    form->addRow(label, editor);
    ++control_count_;
}
