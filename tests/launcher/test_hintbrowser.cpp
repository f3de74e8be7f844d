#include "shared/downloadpool.h"
#include "shared/widgets/qtextbrowserwithnetwork.h"

#include "testhttpserver.h"
#include "uitesthelpers.h"

#include <QBuffer>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

using shared::QTextBrowserWithNetwork;
using shared::TDownloadPool;
using testsupport::TTestHttpServer;

namespace {

QByteArray pngOfSize(int Width, int Height)
{
  QImage Image(Width, Height, QImage::Format_ARGB32);
  Image.fill(QColor(200, 80, 40));
  QByteArray Data;
  QBuffer Buffer(&Data);
  Buffer.open(QIODevice::WriteOnly);
  Image.save(&Buffer, "PNG");
  return Data;
}

std::shared_ptr<TDownloadPool> makePool()
{
  return std::make_shared<TDownloadPool>(6, shared::makeNetworkAccessManagerWrapper(), true);
}

} // namespace

class TestHintBrowser : public QObject
{
  Q_OBJECT

private slots:
  void fileResourceLoadsAtOnce();
  void remoteImageComesThroughThePool();
  void otherDownloadsOfThePoolAreIgnored();
  void failedDownloadKeepsThePlaceholder();
  void remoteStyleSheetPlaceholderIsTheType();
  void sizeFollowsTheDocument();
};

void TestHintBrowser::fileResourceLoadsAtOnce()
{
  QTemporaryDir Directory;
  QVERIFY(Directory.isValid());
  const QString Path = Directory.filePath("picture.png");
  QFile File(Path);
  QVERIFY(File.open(QIODevice::WriteOnly));
  File.write(pngOfSize(40, 30));
  File.close();

  auto Pool = makePool();
  QSignalSpy Successes(Pool.get(), &TDownloadPool::success);
  QSignalSpy Failures(Pool.get(), &TDownloadPool::failed);
  QTextBrowserWithNetwork Browser(nullptr, Pool);
  const QUrl Url = QUrl::fromLocalFile(Path);
  Browser.setHtml(QString("<img src=\"%1\">").arg(Url.toString()));
  Browser.document()->adjustSize();

  QVERIFY(Browser.hasCachedResource(Url));
  const QVariant Resource = Browser.cachedResource(Url);
  QVERIFY(Resource.isValid());
  QImage Loaded;
  QVERIFY(Loaded.loadFromData(Resource.toByteArray()) || !(Loaded = Resource.value<QImage>()).isNull());
  QCOMPARE(Loaded.size(), QSize(40, 30));
  // Not a single request went to the pool.
  QCOMPARE(Pool->outstandingDownloadCount(), std::size_t(0));
  QTest::qWait(50);
  QCOMPARE(Successes.count() + Failures.count(), 0);
  // The document is laid out with the real image at once.
  QVERIFY(Browser.document()->idealWidth() >= 40);
}

void TestHintBrowser::remoteImageComesThroughThePool()
{
  TTestHttpServer Server;
  const QByteArray Png = pngOfSize(120, 50);
  Server.setBody("/hint.png", Png, "image/png");
  auto Pool = makePool();
  QSignalSpy Successes(Pool.get(), &TDownloadPool::success);
  QTextBrowserWithNetwork Browser(nullptr, Pool);
  QTextBrowserWithNetwork Bystander(nullptr, Pool);
  const QUrl Url = Server.url("/hint.png");
  Browser.setHtml(QString("<p><img src=\"%1\"></p>").arg(Url.toString()));
  // Images are looked up when the document is laid out.
  Browser.document()->adjustSize();

  // A transparent 32 x 32 placeholder until the data is there.
  QVERIFY(Browser.hasCachedResource(Url));
  const QImage Placeholder = Browser.cachedResource(Url).value<QImage>();
  QCOMPARE(Placeholder.size(), QSize(32, 32));
  QCOMPARE(Placeholder.format(), QImage::Format_ARGB32_Premultiplied);
  QCOMPARE(Placeholder.pixelColor(5, 5).alpha(), 0);
  QCOMPARE(Pool->outstandingDownloadCount(), std::size_t(1));
  const qreal WidthBefore = Browser.document()->idealWidth();
  QVERIFY(WidthBefore < 100);

  QVERIFY(Successes.wait(5000));
  QCOMPARE(Browser.cachedResource(Url).toByteArray(), Png);
  // Laid out again with the real image.
  Browser.document()->adjustSize();
  QVERIFY2(Browser.document()->idealWidth() >= 120, qPrintable(QString::number(Browser.document()->idealWidth())));
  // Asked once; a second lookup comes from the cache.
  QCOMPARE(Server.requestCount("/hint.png"), 1);
  Browser.setHtml(Browser.toHtml());
  QTest::qWait(50);
  QCOMPARE(Server.requestCount("/hint.png"), 1);
  // A browser that did not ask keeps nothing.
  QVERIFY(!Bystander.hasCachedResource(Url));
}

void TestHintBrowser::otherDownloadsOfThePoolAreIgnored()
{
  auto Pool = makePool();
  QTextBrowserWithNetwork Browser(nullptr, Pool);
  Browser.setHtml("<p>Static text</p>");
  const QString Before = Browser.toHtml();
  emit Pool->success(QUrl("https://cdn.example/trace"), QByteArray("fl=1\n"));
  QVERIFY(!Browser.hasCachedResource(QUrl("https://cdn.example/trace")));
  QCOMPARE(Browser.toHtml(), Before);
}

void TestHintBrowser::failedDownloadKeepsThePlaceholder()
{
  TTestHttpServer Server;
  auto Pool = makePool();
  QSignalSpy Failures(Pool.get(), &TDownloadPool::failed);
  QTextBrowserWithNetwork Browser(nullptr, Pool);
  const QUrl Url = Server.url("/missing.png");
  uitest::TLogCapture Log;
  Browser.setHtml(QString("<img src=\"%1\">").arg(Url.toString()));
  Browser.document()->adjustSize();
  QVERIFY(Failures.wait(5000));
  QCOMPARE(Browser.cachedResource(Url).value<QImage>().size(), QSize(32, 32));
  const QStringList Warnings = Log.lines().filter("Download failed:");
  QCOMPARE(Warnings.size(), 1);
  QVERIFY2(Warnings[0].startsWith(QString("%1 (src/shared/qtextbrowserwithnetwork:76) ").arg(int(QtWarningMsg))),
           qPrintable(Warnings[0]));
  QVERIFY(Warnings[0].contains(Url.toString()));
  QVERIFY(Warnings[0].contains("ContentNotFoundError"));

  // Failures of downloads the browser did not ask for are not its business.
  emit Pool->failed(QUrl("https://elsewhere.example/x"), QNetworkReply::HostNotFoundError, "Host not found");
  QCOMPARE(Log.lines().filter("Download failed:").size(), 1);
}

void TestHintBrowser::remoteStyleSheetPlaceholderIsTheType()
{
  auto Pool = makePool();
  QTextBrowserWithNetwork Browser(nullptr, Pool);
  const QUrl Url("http://127.0.0.1:9/style.css");
  const QVariant Value = Browser.loadResource(QTextDocument::StyleSheetResource, Url);
  QCOMPARE(Value.toInt(), int(QTextDocument::StyleSheetResource));
  QCOMPARE(Browser.cachedResource(Url).toInt(), int(QTextDocument::StyleSheetResource));
  // The same resource is not requested twice.
  QCOMPARE(Pool->outstandingDownloadCount(), std::size_t(1));
  Browser.loadResource(QTextDocument::StyleSheetResource, Url);
  QCOMPARE(Pool->outstandingDownloadCount(), std::size_t(1));
}

void TestHintBrowser::sizeFollowsTheDocument()
{
  QTextBrowserWithNetwork Browser(nullptr, makePool());
  Browser.resize(200, 100);
  Browser.setHtml("<table width=\"333\"><tr><td>one</td></tr></table><p>two</p><p>three</p><p>four</p>");
  Browser.show();
  QVERIFY(QTest::qWaitForWindowExposed(&Browser));
  const QSizeF Document = Browser.document()->size();
  QCOMPARE(Browser.sizeHint(), QSize(qRound(Document.width()), qRound(Document.height())));
  QCOMPARE(Browser.heightForWidth(5), int(Document.height()));
  QCOMPARE(Browser.heightForWidth(5000), int(Document.height()));
  QVERIFY(Document.height() > 40);
}

QTEST_MAIN(TestHintBrowser)
#include "test_hintbrowser.moc"
