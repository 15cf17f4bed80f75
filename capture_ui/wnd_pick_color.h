#pragma once

#include <QColor>
#include <QFrame>
#include <atomic>
#include <cstdint>

// The colour swatch of the Properties dialog: paints the detector colour and edits it
// in place with the colour chooser, opened by a click or, with the focus on it, by Space or
// Enter. It holds no colour of its own.
class CWndPickColor : public QFrame {
    Q_OBJECT
public:
    static constexpr int kCustomColourCount = 16;
    // The room around the swatch where the focus mark is drawn.
    static constexpr int kFocusRingPx = 3;

    explicit CWndPickColor(QWidget* parent);

    // The 16-bit colour word this swatch shows and edits; not owned, may be null.
    void SetColorPtr(std::atomic<uint16_t>* colour) { m_pColor = colour; }
    std::atomic<uint16_t>* GetColorPtr() const { return m_pColor; }

    // The chooser's custom colours are one table for the whole process, set up once.
    static void InitialiseCustomColours();
    static QColor InitialCustomColour(int index);

    // The 16-bit word as a 24-bit colour, each field widened by a shift of 3.
    static QColor ExpandColour(uint16_t word);
    static uint16_t PackColour(const QColor& colour);

    // Opens the chooser on the colour shown; true when a colour was chosen and stored.
    bool ChooseColour();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void SetSwatchInsideFocusRing();

    std::atomic<uint16_t>* m_pColor = nullptr;
};
