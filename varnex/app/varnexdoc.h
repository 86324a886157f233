// The document: one opened picture with its grey table, display mask,
// segmentation object and display bitmaps.
#pragma once

#include "dib.h"
#include "framework.h"
#include "strokes.h"

#include <QImage>
#include <QString>

#include <string>

class Contour;
class MyImage;
class CVarnexView;
class SegmentationSession;

class CVarnexDoc : public CDocument {
public:
    CVarnexDoc();
    ~CVarnexDoc() override;

    /// Reads the picture at `path` and prepares everything the views and the
    /// segmentation need. False after a message when it cannot be read.
    bool OnOpenDocument(const QString& path) override;
    bool OnCommand(int id) override;
    bool OnUpdateCmdUI(CCmdUI& ui) override;

    /// Shows every pixel (sets the whole mask to 1).
    void InitMask();
    /// Rebuilds both display bitmaps from the opened picture, the grey table
    /// and the mask (nothing before the first view is shown). A rebuild with
    /// nothing changed since the last one keeps the bitmaps, which are then
    /// identical.
    void RebuildDisplays();
    /// Rebuilds both display bitmaps from the segmentation result. The
    /// seeds stay: the user goes on painting and cuts again.
    void ShowSegmentation();
    /// Writes the picture of the display bitmaps to the base name followed
    /// by "_res.bmp" as a 24-bit BMP and says so in the status bar for a few
    /// seconds. False after a message when it fails.
    bool OnSaveCurrentImage();
    /// "Save Results": does nothing.
    void OnSaveResults() {}
    /// Rebuilds the grey table as a linear ramp: values up to
    /// center - window / 2 show black (0), values from center + window / 2
    /// on show 254, values between rise linearly. Stores window and centre;
    /// does not rebuild the bitmaps.
    void SetWindowCenter(int center, int window);

    /// True when the document holds a picture (not a new, empty document).
    bool HasImage() const { return m_pImage != nullptr; }
    /// The grey table as the display bitmaps use it.
    varnex::GreyTable GreyTable() const;
    /// Number of entries of the grey table.
    int GreyTableLength() const { return m_nLutLength; }

    /// Makes a region map of the picture with regions of about
    /// `region_size` pixels and keeps it for the cuts, in place of any
    /// region map file. It is saved as the region map file when that name
    /// is free and its folder writable. Returns the status-bar text saying
    /// what was done, or an empty text after a message when it fails.
    QString MakeRegionMap(int region_size);
    /// The region map the next Graphcut uses, as a copy the caller owns,
    /// with `label` naming it in messages: the map made in the program,
    /// else the region map file (read; null after the message when it
    /// cannot be read), else a map made now (*made then gets the status
    /// text of MakeRegionMap).
    MyImage* RegionMapForCut(std::string* label, QString* made);
    /// Region boundaries of the map Graphcut would use, drawn over the
    /// picture: opaque where a pixel's right or lower neighbour lies in
    /// another region, transparent elsewhere. Built when first asked;
    /// a null image when there is no map.
    const QImage& RegionOutline();

    unsigned char** m_ppMask = nullptr;
    Contour* m_pContour = nullptr;
    varnex::DisplayBitmap* m_pViewDib = nullptr;
    varnex::DisplayBitmap* m_pSaveDib = nullptr;
    MyImage* m_pImage = nullptr;
    std::string m_strBaseName;
    int m_nWindow = 0;
    int m_nCenter = 0;
    int* m_pGreyLut = nullptr;
    CVarnexView* m_pView = nullptr;
    std::string m_strRegionsFile;
    float m_fParameter = 10.0f;
    MyImage* m_pRegionMap = nullptr;  ///< a region map made in the program, null when none
    int m_nRegionSize = 100;          ///< mean region size of maps made here, in pixels

    // The segmentation session (doccut.cpp).
    /// Cuts with the seeds of the done strokes and shows the result. The
    /// first cut takes the region map RegionMapForCut gives and divides it
    /// into regions; later cuts reuse them until the map changes. False
    /// after a message when the map is unusable. *status receives text
    /// for the status bar (empty when there is nothing to say).
    bool Cut(QString* status);
    /// True when a cut result is shown (and the object mask is valid).
    bool HasResult() const;
    /// The object of the last cut, one byte per pixel row by row (255
    /// object, 0 background); null before a cut.
    const unsigned char* ObjectMask() const;
    /// Forgets the regions of the session, so the next cut takes the region
    /// map anew (after a new map was made).
    void ForgetRegions();
    /// Time of the last cut in seconds, result update included.
    double LastCutSeconds() const { return m_dLastCutSeconds; }
    SegmentationSession* m_pSession = nullptr;

    // Seeds as strokes (strokes.cpp, viewpaint.cpp).
    SeedStrokes m_strokes;
    /// Puts the seeds of the done strokes into the segmentation object.
    void ApplyStrokes();

    // Seed files and closing (docsession.cpp).
    /// The seeds file of the picture: the base name followed by
    /// "_seeds.txt", in the 'x y kind' lines varnex-segment reads.
    std::string SeedsFile() const;
    /// File > Save Seeds: writes the seeds of the done strokes to the seeds
    /// file (through a temporary file renamed into place; a link keeps
    /// pointing where it did), and a region map made here that exists only
    /// in memory to the region map file when that name is free. Refuses a
    /// name that is not a regular file or leads to the picture or its region
    /// map. True when the seeds were written; false after a message.
    bool SaveSeeds();
    /// Loads the seeds file, when there is one, as one object and one
    /// background stroke that count as saved.
    void OnDocumentOpened() override;
    /// With unsaved strokes asks Save, Discard or Cancel; Save writes the
    /// seeds file. False for Cancel or a failed save.
    bool SaveModified() override;
    /// True when nothing, not even a dangling link, has the name `path`.
    static bool NameIsFree(const std::string& path);

    // Result display and export (docexport.cpp).
    /// The picture as shown before a cut (through the grey table and the
    /// display mask), whatever the display bitmaps show now: the base of
    /// the overlay view. Made when first asked and again after the table or
    /// the mask changed (O(pixels)); null without a picture or memory.
    varnex::DisplayBitmap* PictureDisplay();
    /// The object of the last cut to draw over the picture: an opaque fill
    /// colour on object pixels, an outline colour on object pixels beside
    /// the background, transparent elsewhere. Made when first asked, then
    /// kept up to date by each cut within the box that changed. A null
    /// image before a cut.
    const QImage& ObjectOverlay();
    /// Writes the object of the last cut to `path` as an 8-bit grey mask,
    /// 255 object and 0 background, in the format its extension names
    /// (.png, .pgm or .bmp, any case). Never over the opened picture or its
    /// region map. False after a message.
    bool ExportMask(const std::string& path);
    /// File > Export Mask...: asks for the name (BASE_mask.png by default),
    /// writes the mask and says so in the status bar.
    void OnExportMask();

protected:
    void OnViewRemoved(CView* view) override;

private:
    void build_grey_table();
    void replace_displays(const MyImage* source);

    int m_nLutLength = 0;
    float m_fLutOrigin = 0.0f;
    float m_fLutScale = 1.0f;
    bool m_bDisplaysCurrent = false;  // bitmaps show the picture with the current table and mask
    double m_dLastCutSeconds = 0.0;
    QImage m_regionOutline;

    // Result display (docexport.cpp).
    void update_overlay(int x0, int y0, int x1, int y1);
    std::unique_ptr<varnex::DisplayBitmap> m_pPictureDib;  // the picture as shown, made when asked
    bool m_bPictureCurrent = false;  // m_pPictureDib follows the current table and mask
    bool m_bResultShown = false;     // the display bitmaps show the last cut's result
    QImage m_objectOverlay;
};
