// The result beside the picture (the overlay's images), and the object of a
// cut as a mask file.
#include "varnexdoc.h"

#include "mainfrm.h"
#include "resource.h"
#include "varnexview.h"

#include <kalvio/image.h>
#include <kalvio/message.h>
#include <varnex/myimage.h>
#include <varnex/paths.h>

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>

#include <algorithm>
#include <new>

namespace {

// Colours of the overlay, drawn at the view's opacity.
constexpr QRgb kObjectFill = qRgb(0, 120, 255);
constexpr QRgb kObjectOutline = qRgb(255, 230, 0);

// How long the status bar says where the mask went.
constexpr int kExportedNoteMs = 5000;

struct MaskFormat {
    const char* extension;  // lower case, without the dot
    int format;             // KALVIO_FORMAT_*
    const char* filter;     // file dialog filter
};

constexpr MaskFormat kMaskFormats[] = {
    {"png", KALVIO_FORMAT_PNG, "PNG image (*.png)"},
    {"pgm", KALVIO_FORMAT_PGM, "PGM image (*.pgm)"},
    {"bmp", KALVIO_FORMAT_BMP, "BMP image (*.bmp)"},
};

// The format the extension of `path` names, KALVIO_FORMAT_NONE for others.
int mask_format_of(const std::string& path) {
    const QString suffix = QFileInfo(QFile::decodeName(QByteArray::fromStdString(path))).suffix().toLower();
    for (const MaskFormat& f : kMaskFormats)
        if (suffix == QLatin1String(f.extension)) return f.format;
    return KALVIO_FORMAT_NONE;
}

}  // namespace

varnex::DisplayBitmap* CVarnexDoc::PictureDisplay() {
    if (!m_pImage) return nullptr;
    if (!m_pPictureDib || !m_bPictureCurrent) {
        m_pPictureDib = std::make_unique<varnex::DisplayBitmap>(m_pImage, GreyTable(), m_ppMask);
        m_bPictureCurrent = true;
    }
    return m_pPictureDib->IsEmpty() ? nullptr : m_pPictureDib.get();
}

const QImage& CVarnexDoc::ObjectOverlay() {
    if (!HasResult()) {
        m_objectOverlay = QImage();
        return m_objectOverlay;
    }
    if (m_objectOverlay.isNull()) {
        m_objectOverlay = QImage(m_pImage->ncols, m_pImage->nrows, QImage::Format_ARGB32_Premultiplied);
        if (!m_objectOverlay.isNull()) update_overlay(0, 0, m_pImage->ncols, m_pImage->nrows);
    }
    return m_objectOverlay;
}

void CVarnexDoc::update_overlay(int x0, int y0, int x1, int y1) {
    const unsigned char* object = ObjectMask();
    if (!object) {
        m_objectOverlay = QImage();
        return;
    }
    if (m_objectOverlay.isNull()) return;
    const int cols = m_pImage->ncols, rows = m_pImage->nrows;
    x0 = std::max(x0, 0);
    y0 = std::max(y0, 0);
    x1 = std::min(x1, cols);
    y1 = std::min(y1, rows);
    auto inside = [&](int x, int y) { return object[static_cast<std::size_t>(y) * cols + x] != 0; };
    for (int y = y0; y < y1; ++y) {
        auto* out = reinterpret_cast<QRgb*>(m_objectOverlay.scanLine(y));
        for (int x = x0; x < x1; ++x) {
            if (!inside(x, y)) {
                out[x] = 0;
                continue;
            }
            // Neighbours beyond the picture's edge do not make an outline.
            const bool edge = (x > 0 && !inside(x - 1, y)) || (x + 1 < cols && !inside(x + 1, y)) ||
                              (y > 0 && !inside(x, y - 1)) || (y + 1 < rows && !inside(x, y + 1));
            out[x] = edge ? kObjectOutline : kObjectFill;
        }
    }
}

bool CVarnexDoc::ExportMask(const std::string& path) {
    const unsigned char* object = ObjectMask();
    if (!object) return false;
    const int format = mask_format_of(path);
    if (format == KALVIO_FORMAT_NONE) {
        AfxMessageBox("Couldn't write mask " + path + "\n(masks are written as .png, .pgm or .bmp files)",
                      MB_ICONERROR | MB_OK);
        return false;
    }
    const std::string picture_path = QFile::encodeName(GetPathName()).toStdString();
    for (const std::string& input : {picture_path, m_strRegionsFile})
        if (names_same_file(path, input)) {
            AfxMessageBox("Couldn't write mask " + path + "\n(it would replace " + input + ")", MB_ICONERROR | MB_OK);
            return false;
        }
    const int rows = m_pImage->nrows, cols = m_pImage->ncols;
    CImage mask(rows, cols, 0, format, KALVIO_TYPE_UINT8);
    if (!mask.data) return false;  // the allocator has shown its message
    for (int y = 0; y < rows; ++y) {
        const unsigned char* in = object + static_cast<std::size_t>(y) * cols;
        std::transform(in, in + cols, mask.data[y], [](unsigned char v) { return v ? 255.0f : 0.0f; });
    }
    // The writers write to a temporary file and rename it into place.
    if (!mask.WriteImage(path.c_str())) {
        AfxMessageBox("Couldn't write mask " + path, MB_ICONERROR | MB_OK);
        return false;
    }
    return true;
}

void CVarnexDoc::OnExportMask() {
    if (!HasResult() || !m_pView) return;
    QStringList filters;
    for (const MaskFormat& f : kMaskFormats) filters << QString::fromLatin1(f.filter);
    QString filter = filters.front();
    const QString suggested = QFile::decodeName(QByteArray::fromStdString(m_strBaseName)) + QStringLiteral("_mask.png");
    QString name = QFileDialog::getSaveFileName(m_pView, QStringLiteral("Export Mask"), suggested,
                                                filters.join(QStringLiteral(";;")), &filter);
    if (name.isEmpty()) return;
    // A name without an extension takes the chosen filter's.
    if (QFileInfo(name).suffix().isEmpty()) {
        const int chosen = std::max(0, static_cast<int>(filters.indexOf(filter)));
        name += QLatin1Char('.') + QLatin1String(kMaskFormats[chosen].extension);
    }
    const std::string path = QFile::encodeName(name).toStdString();
    if (!ExportMask(path)) return;
    if (CMainFrame* main_frame = CMainFrame::Find(m_pView))
        main_frame->SetStatusText(QStringLiteral("Mask saved as ") + name, kExportedNoteMs);
}
