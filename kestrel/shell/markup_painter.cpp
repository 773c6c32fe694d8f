#include "kestrel/shell/markup_painter.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QPaintDevice>
#include <QPainter>
#include <QRect>
#include <QScreen>
#include <QString>
#include <algorithm>

namespace kestrel::shell {

namespace {

QString fromUtf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

MarkupRgb toRgb(const QColor& color) {
    return static_cast<MarkupRgb>(color.rgb()) & 0xFFFFFFu;
}

QColor fromRgb(MarkupRgb rgb) {
    return QColor(static_cast<int>((rgb >> 16) & 0xFF), static_cast<int>((rgb >> 8) & 0xFF),
                  static_cast<int>(rgb & 0xFF));
}

}  // namespace

QFont defaultMarkupFont() {
    static const QFont font = [] {
        const QStringList families = QFontDatabase::families();
        QFont f;
        if (families.contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) {
            f.setFamily(QStringLiteral("Tahoma"));
            f.setPointSizeF(8.5);
        } else {
            if (families.contains(QStringLiteral("DejaVu Sans"), Qt::CaseInsensitive))
                f.setFamily(QStringLiteral("DejaVu Sans"));
            else
                f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
            // DejaVu Sans runs wider than Tahoma: a size smaller keeps a
            // name and its figures on one line of a narrow list.
            f.setPointSizeF(8);
        }
        f.setStyleHint(QFont::SansSerif);
        return f;
    }();
    return font;
}

PainterMarkupSurface::PainterMarkupSurface(QPainter& painter)
    : painter_(&painter),
      device_(painter.device()),
      metrics_(painter.font(), painter.device()),
      startColor_(painter.pen().color()),
      color_(startColor_) {
    fonts_.emplace_back(painter.font());
}

PainterMarkupSurface::PainterMarkupSurface(const QFont& font, const QPaintDevice* device)
    : device_(device), metrics_(font, device), startColor_(Qt::black), color_(startColor_) {
    fonts_.emplace_back(font);
}

const QFont& PainterMarkupSurface::font(Font handle) const {
    const auto i = static_cast<std::size_t>(handle);
    if (handle >= 0 && i < fonts_.size() && fonts_[i]) return *fonts_[i];
    return *fonts_[0];
}

MarkupSurface::Font PainterMarkupSurface::createFont(Font base, const MarkupFontRequest& request) {
    QFont f = font(base);
    f.setWeight(request.weight >= 700 ? QFont::Bold : QFont::Normal);
    f.setItalic(request.italic);
    f.setUnderline(request.underline);
    if (request.heightTenths != 10) {
        if (f.pixelSize() > 0)
            f.setPixelSize(std::max(1, f.pixelSize() * request.heightTenths / 10));
        else
            f.setPointSizeF(std::max(1.0, f.pointSizeF() * request.heightTenths / 10.0));
    }
    const auto freeSlot = std::find_if(fonts_.begin() + 1, fonts_.end(), [](const auto& s) { return !s; });
    if (freeSlot != fonts_.end()) {
        *freeSlot = f;
        return static_cast<Font>(freeSlot - fonts_.begin());
    }
    fonts_.emplace_back(f);
    return static_cast<Font>(fonts_.size() - 1);
}

void PainterMarkupSurface::releaseFont(Font handle) {
    const auto i = static_cast<std::size_t>(handle);
    if (handle > 0 && i < fonts_.size()) fonts_[i].reset();
    if (selected_ == handle) selectFont(0);
}

void PainterMarkupSurface::selectFont(Font handle) {
    const auto i = static_cast<std::size_t>(handle);
    selected_ = (handle >= 0 && i < fonts_.size() && fonts_[i]) ? handle : 0;
    metrics_ = QFontMetrics(font(selected_), device_);
    if (painter_ != nullptr) painter_->setFont(font(selected_));
}

int PainterMarkupSurface::textWidth(std::string_view text) {
    return metrics_.horizontalAdvance(fromUtf8(text));
}

int PainterMarkupSurface::lineHeight() {
    return metrics_.height();
}

MarkupRgb PainterMarkupSurface::textColor() {
    return toRgb(color_);
}

void PainterMarkupSurface::setTextColor(MarkupRgb rgb) {
    // The starting colour comes back whole, with its alpha.
    color_ = rgb == toRgb(startColor_) ? startColor_ : fromRgb(rgb);
    if (painter_ != nullptr) {
        QPen pen = painter_->pen();
        pen.setColor(color_);
        painter_->setPen(pen);
    }
}

void PainterMarkupSurface::drawText(int x, int y, std::string_view text) {
    if (painter_ == nullptr) return;
    painter_->drawText(x, y + metrics_.ascent(), fromUtf8(text));
}

int PainterMarkupSurface::deviceWidth() {
    if (device_ != nullptr) return device_->width();
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->size().width() : 0;
}

int PainterMarkupSurface::deviceHeight() {
    if (device_ != nullptr) return device_->height();
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->size().height() : 0;
}

int drawMarkup(QPainter& painter, std::string_view markup, const QRect& rect, std::uint32_t format) {
    PainterMarkupSurface surface(painter);
    MarkupRect area{rect.left(), rect.top(), rect.left() + rect.width(), rect.top() + rect.height()};
    return drawMarkup(surface, markup, &area, format & ~std::uint32_t{kMarkupCalcRect});
}

QSize measureMarkup(std::string_view markup, const QFont& font, int width, const QPaintDevice* device,
                    std::uint32_t format) {
    PainterMarkupSurface surface(font, device);
    MarkupRect area{0, 0, width, 0};
    drawMarkup(surface, markup, &area, format | kMarkupCalcRect);
    return {area.right - area.left, area.bottom - area.top};
}

}  // namespace kestrel::shell
