#pragma once

#include "conversion/PassInputs.h"
#include "core/Paths.h"
#include "support/TempTree.h"

#include <QFile>
#include <functional>
#include <vector>

namespace quarnel::test {

// The main window as the pass sees it.
class FakePassInputs final : public PassInputs
{
public:
    int folderRowCount() const override { return static_cast<int>(rows.size()); }
    QString folderRow(int index) const override { return rows.value(index); }
    bool saveToFolder() const override { return toFolder; }
    bool saveBesideOriginal() const override { return !toFolder; }
    QString outputFolder() const override { return output; }
    void setBusy(bool value) override
    {
        busy = value;
        busyCalls.push_back(value);
    }
    void setProgress(int value, const QString& caption) override
    {
        progress.push_back(value);
        captions.append(caption);
        if (onProgress)
            onProgress(caption);
    }
    IgnoreList ignoreList() const override { return IgnoreList(ignore); }
    bool logSkipped() const override { return logSkippedPdfs; }
    void addNewSubfolders() override { }

    QStringList rows;
    QStringList ignore;
    bool logSkippedPdfs = true;
    bool toFolder = true;
    QString output;
    bool busy = false;
    std::vector<bool> busyCalls;
    std::vector<int> progress;
    QStringList captions;
    std::function<void(const QString& caption)> onProgress;
};

class FakeMethodOptions final : public MethodOptions
{
public:
    Method selectedMethod() const override { return method; }
    bool firstPageOnly() const override { return firstOnly; }
    int quality() const override { return jpegQuality; }
    QString pagesText() const override { return pages; }
    QString resolutionText() const override { return resolution; }

    Method method = Method::Ghostscript;
    bool firstOnly = false;
    int jpegQuality = 85;
    QString pages = QStringLiteral("1");
    QString resolution = QStringLiteral("144");
};

// Writes one small "page image" per page, named after the stem with a three-digit page number, the way
// the batch-file methods hand theirs over.
class FakeMethod final : public ConversionMethod
{
public:
    bool Convert(const QString& pdfPath, const QString& stagingFolder) override
    {
        converted.append(pdfPath);
        if (during)
            during(pdfPath);
        if (!QFile::exists(pdfPath) || failing.contains(FileNameOf(pdfPath)))
            return false;
        QString stem = FileNameOf(pdfPath);
        stem = stem.left(stem.indexOf(u'.') < 0 ? stem.size() : stem.indexOf(u'.'));
        for (int page = 1; page <= pages; ++page) {
            QFile image(stagingFolder + QStringLiteral("/%1-%2.jpg").arg(stem).arg(page, 3, 10, QChar(u'0')));
            if (image.open(QIODevice::WriteOnly))
                image.write(imageBytes(page));
        }
        if (tildeFile) {
            QFile extra(stagingFolder + QStringLiteral("/~work.jpg"));
            if (extra.open(QIODevice::WriteOnly))
                extra.write("scratch");
        }
        return pages > 0;
    }

    // What the image of a page holds: a short text, or `imageSize` bytes that differ from page to page.
    QByteArray imageBytes(int page) const
    {
        if (imageSize <= 0)
            return "JPEG page " + QByteArray::number(page);
        QByteArray bytes(imageSize, '\0');
        for (int i = 0; i < imageSize; ++i)
            bytes[i] = static_cast<char>((i * 31 + page * 7 + i / 4093) & 0xff);
        return bytes;
    }

    int pages = 1;
    int imageSize = 0;
    bool tildeFile = false;
    QStringList failing;
    QStringList converted;
    std::function<void(const QString&)> during;
};

} // namespace quarnel::test
