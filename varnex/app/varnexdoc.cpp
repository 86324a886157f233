// The document.
#include "varnexdoc.h"

#include "mainfrm.h"
#include "resource.h"
#include "varnexview.h"

#include <kalvio/message.h>
#include <varnex/contour.h>
#include <varnex/myimage.h>
#include <varnex/paths.h>
#include <varnex/segmentation_run.h>

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <cmath>
#include <new>

namespace {

// How long the status bar says where Save Current Image wrote.
constexpr int kSavedNoteMs = 5000;

}  // namespace

CVarnexDoc::CVarnexDoc() = default;

CVarnexDoc::~CVarnexDoc() {
    if (m_ppMask && m_pImage) {
        for (int x = 0; x < m_pImage->ncols; ++x) delete[] m_ppMask[x];
    }
    delete[] m_ppMask;
    delete m_pImage;
    delete m_pViewDib;
    delete m_pSaveDib;
    delete m_pSession;  // releases what the segmentation object holds for it
    delete m_pContour;
    delete[] m_pGreyLut;
    delete m_pRegionMap;
}

namespace {

// The folder of `path` ("." for a bare file name).
std::string folder_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

QString CVarnexDoc::MakeRegionMap(int region_size) {
    if (!HasImage()) return QString();
    int regions = 0;
    MyImage* map = make_region_map(*m_pImage, region_size, &regions);
    if (!map) {
        AfxMessageBox("Not enough memory to make a region map of " + m_strBaseName, MB_ICONSTOP);
        return QString();
    }
    delete m_pRegionMap;
    m_pRegionMap = map;
    m_nRegionSize = region_size;
    m_regionOutline = QImage();
    ForgetRegions();
    const QString made = QStringLiteral("Region map made: %1 regions of about %2 pixels").arg(regions).arg(region_size);
    const QString file = QString::fromStdString(m_strRegionsFile);
    if (!NameIsFree(m_strRegionsFile))
        return made + QStringLiteral("; kept in memory, %1 exists").arg(file);
    if (::access(folder_of(m_strRegionsFile).c_str(), W_OK) != 0)
        return made + QStringLiteral("; kept in memory, the folder of %1 is not writable").arg(file);
    // A failed save leaves the map in memory; the message box says why.
    if (!map->WriteImage(m_strRegionsFile.c_str())) return made + QStringLiteral("; kept in memory");
    return made + QStringLiteral(", saved as %1").arg(file);
}

MyImage* CVarnexDoc::RegionMapForCut(std::string* label, QString* made) {
    if (!HasImage()) return nullptr;
    if (!m_pRegionMap && NameIsFree(m_strRegionsFile)) {
        *made = MakeRegionMap(m_nRegionSize);
        if (made->isEmpty()) return nullptr;
    }
    if (m_pRegionMap) {
        *label = "made from " + m_strBaseName;
        return new MyImage(m_pRegionMap);
    }
    *label = m_strRegionsFile;
    auto* map = new MyImage;
    if (!map->ReadImage(m_strRegionsFile.c_str())) {
        delete map;
        AfxMessageBox(cant_open_image_message(m_strRegionsFile), MB_ICONSTOP);
        return nullptr;
    }
    return map;
}

const QImage& CVarnexDoc::RegionOutline() {
    if (!m_regionOutline.isNull() || !HasImage()) return m_regionOutline;
    std::string label;
    QString made;
    std::unique_ptr<MyImage> map(RegionMapForCut(&label, &made));
    if (!map || map->nrows != m_pImage->nrows || map->ncols != m_pImage->ncols) return m_regionOutline;
    if (!made.isEmpty()) {
        if (CMainFrame* frame = CMainFrame::Find(m_pView)) frame->SetStatusText(made, 10000);
    }
    const int rows = map->nrows, cols = map->ncols, channels = map->color == 1 ? 3 : 1;
    QImage outline(cols, rows, QImage::Format_ARGB32);
    if (outline.isNull()) return m_regionOutline;
    outline.fill(Qt::transparent);
    const QRgb line = qRgba(255, 255, 0, 255);
    auto differs = [&](int y0, int x0, int y1, int x1) {
        const float* a = &map->data[y0][channels * x0];
        const float* b = &map->data[y1][channels * x1];
        for (int k = 0; k < channels; ++k)
            if (a[k] != b[k]) return true;
        return false;
    };
    for (int y = 0; y < rows; ++y) {
        auto* out = reinterpret_cast<QRgb*>(outline.scanLine(y));
        for (int x = 0; x < cols; ++x) {
            if ((x + 1 < cols && differs(y, x, y, x + 1)) || (y + 1 < rows && differs(y, x, y + 1, x))) out[x] = line;
        }
    }
    m_regionOutline = outline;
    return m_regionOutline;
}

bool CVarnexDoc::OnOpenDocument(const QString& path) {
    if (!CDocument::OnOpenDocument(path)) {
        AfxMessageBox("Can't open file " + path.toStdString(), MB_ICONERROR | MB_OK);
        return false;
    }
    const QByteArray local_path = QFile::encodeName(path);
    m_strBaseName = local_path.toStdString();
    m_pImage = new MyImage;
    if (!m_pImage->ReadImage(local_path.constData())) {
        AfxMessageBox(cant_open_image_message(m_strBaseName), MB_ICONERROR | MB_OK);
        return false;
    }
    // The base name ends at the first dot of the file name: a dot in a
    // folder name would put the region map and the result outside the
    // picture's folder.
    m_strBaseName = base_name_of(m_strBaseName);
    m_strRegionsFile = regions_file_for(m_strBaseName);

    build_grey_table();
    m_nWindow = m_nLutLength;
    m_nCenter = m_nLutLength / 2;

    const int cols = m_pImage->ncols;
    const int rows = m_pImage->nrows;
    m_ppMask = new unsigned char*[cols];
    for (int x = 0; x < cols; ++x) m_ppMask[x] = new unsigned char[rows];
    InitMask();

    m_pContour = new Contour(m_pImage);
    m_pContour->parameter = m_fParameter;
    m_pSession = new SegmentationSession(*m_pContour);
    const varnex::GreyTable table = GreyTable();
    m_pSaveDib = new varnex::DisplayBitmap(m_pImage, table, m_ppMask);
    m_pViewDib = new varnex::DisplayBitmap(m_pImage, table, m_ppMask);
    m_bDisplaysCurrent = true;
    m_pView = nullptr;
    return true;
}

void CVarnexDoc::build_grey_table() {
    const varnex::OpeningGreyTable opening(*m_pImage);
    m_nLutLength = opening.table.length;
    m_fLutOrigin = opening.table.origin;
    m_fLutScale = opening.table.scale;
    delete[] m_pGreyLut;
    m_pGreyLut = new int[m_nLutLength];
    std::copy(opening.levels.begin(), opening.levels.end(), m_pGreyLut);
}

varnex::GreyTable CVarnexDoc::GreyTable() const {
    return {m_pGreyLut, m_nLutLength, m_fLutOrigin, m_fLutScale};
}

void CVarnexDoc::SetWindowCenter(int center, int window) {
    if (!m_pGreyLut || window <= 0) return;
    m_nCenter = center;
    m_nWindow = window;
    // The same formula gives the opening table i * 255 / L for centre L / 2
    // and window L.
    const double low = center - window / 2.0;
    for (int i = 0; i < m_nLutLength; ++i) {
        const double level = std::floor((i - low) * 255.0 / window);
        m_pGreyLut[i] = static_cast<int>(std::clamp(level, 0.0, 254.0));
    }
    m_bDisplaysCurrent = false;
    m_bPictureCurrent = false;
    m_bResultShown = false;
}

void CVarnexDoc::InitMask() {
    if (!m_ppMask || !m_pImage) return;
    for (int x = 0; x < m_pImage->ncols; ++x) std::fill_n(m_ppMask[x], m_pImage->nrows, 1);
    m_bDisplaysCurrent = false;
    m_bPictureCurrent = false;
    m_bResultShown = false;
}

void CVarnexDoc::replace_displays(const MyImage* source) {
    const varnex::GreyTable table = GreyTable();
    // The view's bitmap first, then the one that is saved.
    auto* view_dib = new varnex::DisplayBitmap(source, table, m_ppMask);
    auto* save_dib = new varnex::DisplayBitmap(source, table, m_ppMask);
    delete m_pViewDib;
    delete m_pSaveDib;
    m_pViewDib = view_dib;
    m_pSaveDib = save_dib;
}

void CVarnexDoc::RebuildDisplays() {
    if (!m_pView || !m_pImage) return;
    // While the user paints, every mouse move asks for a rebuild; the
    // bitmaps only change when the table or the mask did, or after a
    // segmentation was shown.
    if (m_bDisplaysCurrent) return;
    replace_displays(m_pImage);
    m_bDisplaysCurrent = true;
    m_bResultShown = false;
}

void CVarnexDoc::ShowSegmentation() {
    if (!m_pContour || !m_pSession) return;
    const SegmentationSession::Box box = m_pSession->changed();
    // An outline pixel depends on its neighbours: the ring around the box
    // may gain or lose its outline.
    if (!m_objectOverlay.isNull()) update_overlay(box.x0 - 1, box.y0 - 1, box.x1 + 1, box.y1 + 1);
    if (!m_pView || !m_pContour->result) {
        m_bResultShown = false;
        return;
    }
    if (m_bResultShown && m_pViewDib && m_pSaveDib) {
        // The bitmaps show the previous cut with the same table and mask:
        // only the pixels of the regions whose side changed differ.
        const varnex::GreyTable table = GreyTable();
        for (varnex::DisplayBitmap* dib : {m_pViewDib, m_pSaveDib})
            for (int r : m_pSession->changed_regions()) {
                dib->UpdatePoints(m_pContour->result, table, m_ppMask, m_pContour->regions.pixels(r),
                                  m_pContour->regions.size(r));
            }
    } else {
        replace_displays(m_pContour->result);
    }
    m_bResultShown = true;
    m_bDisplaysCurrent = false;
}

bool CVarnexDoc::OnSaveCurrentImage() {
    if (!m_pImage || !m_pSaveDib || !m_pSaveDib->bits) return false;
    const std::string name = result_file_for(m_strBaseName);
    // The name is made from the picture's, but a link of that name could
    // still lead to the picture or its region map.
    const std::string picture_path = QFile::encodeName(GetPathName()).toStdString();
    for (const std::string& input : {picture_path, m_strRegionsFile})
        if (names_same_file(name, input)) {
            AfxMessageBox("Couldn't write image " + name + "\n(it would replace " + input + ")", MB_ICONERROR | MB_OK);
            return false;
        }
    const int rows = m_pImage->nrows;
    const int cols = m_pImage->ncols;
    MyImage* picture = new (std::nothrow) MyImage(rows, cols, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
    if (!picture || !picture->data) {
        delete picture;
        AfxMessageBox("Couldn't write image " + name, MB_ICONERROR | MB_OK);
        return false;
    }
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c) {
            const std::uint8_t* bgr = m_pSaveDib->PixelAt(c, r);
            picture->data[r][3 * c] = bgr[2];
            picture->data[r][3 * c + 1] = bgr[1];
            picture->data[r][3 * c + 2] = bgr[0];
        }
    const bool written = picture->WriteImage(name.c_str()) != 0;
    delete picture;
    if (!written) {
        AfxMessageBox("Couldn't write image " + name, MB_ICONERROR | MB_OK);
        return false;
    }
    // Success needs no box to close, but the user should see where it went.
    if (CMainFrame* main_frame = GetViews().empty() ? nullptr : CMainFrame::Find(GetViews().front()))
        main_frame->SetStatusText(QStringLiteral("Saved ") + QFile::decodeName(QByteArray::fromStdString(name)),
                                  kSavedNoteMs);
    return true;
}

void CVarnexDoc::OnViewRemoved(CView* view) {
    if (view != m_pView) return;
    // Another window of the document takes over; none left means none.
    m_pView = nullptr;
    for (CView* v : GetViews())
        if (auto* other = dynamic_cast<CVarnexView*>(v)) {
            m_pView = other;
            break;
        }
}

bool CVarnexDoc::NameIsFree(const std::string& path) {
    struct stat status;
    return ::lstat(path.c_str(), &status) != 0 && errno == ENOENT;
}

bool CVarnexDoc::OnCommand(int id) {
    switch (id) {
    case ID_FILE_SAVE_SEEDS:
        SaveSeeds();
        return true;
    case ID_FILE_EXPORT_MASK:
        OnExportMask();
        return true;
    case ID_SAVE_CURRENT_IMAGE:
    case ID_FILE_SAVE:  // the document has no file of its own: save what is shown
        OnSaveCurrentImage();
        return true;
    case ID_SAVE_RESULTS:
        OnSaveResults();
        return true;
    default:
        return false;
    }
}

bool CVarnexDoc::OnUpdateCmdUI(CCmdUI& ui) {
    switch (ui.m_nID) {
    case ID_FILE_SAVE_SEEDS:
        ui.Enable(HasImage());
        return true;
    case ID_FILE_EXPORT_MASK:
        ui.Enable(HasResult());
        return true;
    case ID_SAVE_CURRENT_IMAGE:
    case ID_FILE_SAVE:
        ui.Enable(HasImage());
        return true;
    case ID_SAVE_RESULTS:
        ui.Enable(true);
        return true;
    default:
        return false;
    }
}
