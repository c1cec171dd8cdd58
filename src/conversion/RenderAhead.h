#pragma once

#include "render/RenderProtocol.h"

#include <QString>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>

class QTemporaryDir;

namespace quarnel {

// A page as asked for: what makes a page rendered ahead the one asked for now (its target left out).
struct PageKey
{
    std::string path;
    render::PageRequest page;
    bool operator==(const PageKey&) const = default;
};

// What render-ahead needs of the worker.
class AheadLink
{
public:
    virtual ~AheadLink() = default;
    virtual bool ensureStarted() = 0;
    virtual int newId() = 0;
    virtual void send(const render::Request& request) = 0;
};

// Pages of the PDFs the program will convert soon, rendered by the worker while no page needed now
// waits, into a folder of their own, and handed over when the same page of the same version of the
// file is asked for with the same settings. At most `limit` pages are asked for or kept ahead.
class RenderAhead final
{
public:
    RenderAhead(AheadLink& link, int limit);
    ~RenderAhead();
    RenderAhead(const RenderAhead&) = delete;
    RenderAhead& operator=(const RenderAhead&) = delete;

    void setLimit(int pages) { m_limit = pages; }
    // Asks for the first `pages` pages (all when -1) of the PDF: counted first, then asked for in the
    // order the PDFs were named, as long as there is room.
    void ask(const std::string& path, const render::PageRequest& settings, int pages);
    // The PDF's pages are being asked for as needed now: none of them is asked for ahead from here on.
    void askedNow(const std::string& path) { m_askedNow.insert(path); }
    bool opening(const std::string& path) const;
    // The page count read ahead for the file as it is now.
    std::optional<int> knownCount(const std::string& path) const;

    enum class Claim {
        None, // not asked for ahead: render it
        HandedOver, // rendered ahead from this version of the file, and now at the target
        Waiting, // on its way: `answer` tells when it comes
    };
    // A page needed now, for `job`, into `target` (a file that must not exist yet).
    Claim claim(const PageKey& key, int job, const QString& target);

    // True when the reply answers one of its requests.
    bool owns(int id) const { return m_opens.count(id) || m_pages.count(id); }
    struct Adopted
    {
        int job = 0;
        bool handedOver = false; // otherwise the job's page must be rendered for it now
    };
    // Takes the reply to one of its requests; when a job waited for the page, what became of it.
    std::optional<Adopted> answer(const render::Reply& reply);
    // Asks for more pages while there is room.
    void topUp();

    // The worker went, and with it every page not rendered yet: true when there was one.
    bool workerLost();
    // Drops every page asked for ahead that no job waits for, rendered or not.
    void forget();

private:
    struct Page
    {
        PageKey key;
        QString file;
        bool rendered = false;
        std::string version; // of the file it was rendered from
        int adoptedBy = 0; // a job now waiting for it, with the version it wants and its target
        std::string wantedVersion;
        QString target;
    };
    struct Document
    {
        std::string path;
        render::PageRequest settings;
        int pages = -1;
        int nextPage = 0; // the first page not asked for yet
        bool sameAs(const Document& other) const { return path == other.path && settings == other.settings; }
    };

    bool makeFolder();
    void opened(int id, const render::Reply& reply);
    bool askPages(Document& document, int pages);
    void drop(std::map<int, Page>::iterator page);
    static bool handOver(const QString& file, const QString& target);

    AheadLink& m_link;
    int m_limit = 0;
    std::map<int, Page> m_pages;
    std::map<int, Document> m_opens;
    std::deque<Document> m_queue; // in the order they will be needed, waiting for room
    std::map<std::pair<std::string, std::string>, int> m_knownCounts; // (path, version) -> pages
    std::set<std::string> m_askedNow; // PDFs whose pages were asked for as needed now, since the last forget
    std::unique_ptr<QTemporaryDir> m_folder;
};

} // namespace quarnel
