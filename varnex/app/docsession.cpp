// Seed files of a document and asking before unsaved seeds are lost.
#include "varnexdoc.h"

#include "mainfrm.h"
#include "resource.h"
#include "varnexview.h"

#include <kalvio/file.h>
#include <kalvio/message.h>
#include <varnex/contour.h>
#include <varnex/myimage.h>
#include <varnex/paths.h>
#include <varnex/seeds.h>

#include <QFile>
#include <QMessageBox>
#include <QPushButton>

#include <cerrno>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace {

// How long the status bar says where the seeds went.
constexpr int kSavedNoteMs = 5000;
// The longest line a seeds file may have; ours are far shorter.
constexpr std::size_t kLongestSeedLine = 256;

QString shown(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }

}  // namespace

std::string CVarnexDoc::SeedsFile() const { return m_strBaseName + "_seeds.txt"; }

bool CVarnexDoc::SaveSeeds() {
    if (!HasImage()) return false;
    const std::string name = SeedsFile();
    // The name is made from the picture's, but a link of that name could
    // still lead to the picture or its region map.
    const std::string picture_path = QFile::encodeName(GetPathName()).toStdString();
    for (const std::string& input : {picture_path, m_strRegionsFile})
        if (names_same_file(name, input)) {
            AfxMessageBox("Couldn't save the seeds to " + name + "\n(it would replace " + input + ")", MB_ICONERROR);
            return false;
        }
    // A folder, a device or a FIFO of that name (or at the end of its links)
    // is not a seeds file to replace.
    struct stat status;
    if (::stat(name.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
        AfxMessageBox("Couldn't save the seeds to " + name + "\n(it is not a regular file)", MB_ICONERROR);
        return false;
    }

    std::string text = "# Varnex seeds: x y kind (1 object, 2 background)\n";
    for (int kind : {SeedStrokes::kObject, SeedStrokes::kBackground})
        for (const CPoint& p : m_strokes.Seeds(kind))
            text += std::to_string(p.x) + ' ' + std::to_string(p.y) + ' ' + std::to_string(kind) + '\n';
    // Written beside the target and renamed into place: a failure leaves
    // the old file whole.
    CFile out;
    if (!out.Open(name.c_str(), CFile::modeCreate | CFile::modeWrite) || !out.Write(text.data(), text.size()) ||
        !out.Close()) {
        out.Abort();
        AfxMessageBox("Couldn't save the seeds to " + name, MB_ICONERROR);
        return false;
    }
    m_strokes.SetSaved();

    QString note = QStringLiteral("Saved the seeds to %1").arg(shown(name));
    // The seeds need the region map they were cut with to give the same
    // result again; a map made here may so far live only in memory.
    if (m_pRegionMap && NameIsFree(m_strRegionsFile)) {
        if (m_pRegionMap->WriteImage(m_strRegionsFile.c_str()))
            note += QStringLiteral(" and the region map to %1").arg(shown(m_strRegionsFile));
        else
            note += QStringLiteral("; the region map stays in memory");
    }
    if (CMainFrame* main_frame = GetViews().empty() ? nullptr : CMainFrame::Find(GetViews().front()))
        main_frame->SetStatusText(note, kSavedNoteMs);
    return true;
}

void CVarnexDoc::OnDocumentOpened() {
    if (!HasImage()) return;
    const std::string name = SeedsFile();
    struct stat status;
    if (::stat(name.c_str(), &status) != 0) return;
    auto ignored = [&](const std::string& why) {
        AfxMessageBox("The seeds in " + name + " were not loaded\n(" + why + ")", MB_ICONWARNING);
    };
    // Only a regular file is read: opening a FIFO would wait for a writer.
    if (!S_ISREG(status.st_mode)) return ignored("it is not a regular file");
    const long long pixels = static_cast<long long>(m_pImage->ncols) * m_pImage->nrows;
    // Every pixel once of each kind, each on a line as long as ours, is as
    // much as a seeds file can sensibly hold; more would only be read into
    // memory to be refused.
    constexpr long long kSeedLineBytes = 32;
    const long long largest = 2 * pixels * kSeedLineBytes + 4096;
    if (status.st_size > largest) return ignored("it is larger than any seeds file of this picture");
    QFile file(QFile::decodeName(QByteArray::fromStdString(name)));
    if (!file.open(QIODevice::ReadOnly)) return ignored("it cannot be read");
    const QByteArray content = file.readAll();
    const std::string_view all(content.constData(), static_cast<std::size_t>(content.size()));

    std::vector<CPoint> seeds[2];
    long long number = 0;
    for (std::size_t start = 0; start < all.size() || number == 0;) {
        ++number;
        const std::size_t end = std::min(all.find('\n', start), all.size());
        const std::string_view line = all.substr(start, end - start);
        start = end + 1;
        const std::string at = "line " + std::to_string(number) + ": ";
        if (line.size() > kLongestSeedLine)
            return ignored(at + "longer than " + std::to_string(kLongestSeedLine) + " characters");
        long long x = 0, y = 0, kind = 0;
        const std::string problem = parse_seed_line(line, &x, &y, &kind);
        if (!problem.empty()) return ignored(at + problem);
        // Seeds outside the picture are left out, as varnex-segment does.
        if (kind == 0 || x < 0 || y < 0 || x >= m_pImage->ncols || y >= m_pImage->nrows) continue;
        seeds[kind - 1].push_back({static_cast<int>(x), static_cast<int>(y)});
    }
    m_strokes.AddStroke(SeedStrokes::kObject, seeds[0]);
    m_strokes.AddStroke(SeedStrokes::kBackground, seeds[1]);
    m_strokes.SetSaved();
    ApplyStrokes();
}

bool CVarnexDoc::SaveModified() {
    if (!m_strokes.Modified()) return true;
    QMessageBox box(QMessageBox::Question, QStringLiteral("Save Seeds"),
                    QStringLiteral("Save the seeds painted on %1?").arg(GetTitle()),
                    QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, m_pView ? m_pView->window() : nullptr);
    box.setInformativeText(QStringLiteral("They go to %1; without saving they are lost.").arg(shown(SeedsFile())));
    box.setDefaultButton(QMessageBox::Save);
    box.setEscapeButton(QMessageBox::Cancel);
    switch (box.exec()) {
    case QMessageBox::Save:
        return SaveSeeds();
    case QMessageBox::Discard:
        return true;
    default:
        return false;
    }
}
