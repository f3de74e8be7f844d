#include "launcher/ui/launchermainwindow.h"

#include "launcher/funnelevents.h"
#include "engine/installationmanager.h"
#include "engine/logging.h"
#include "engine/packageinstallation.h"
#include "launcher/ui/clickablelabel.h"
#include "launcher/ui/clientpackagelayoutitem.h"
#include "launcher/ui/hintwidgets.h"
#include "launcher/ui/launcherstyle.h"
#include "launcher/ui/launcheruiresources.h"
#include "launcher/ui/messageboxes.h"
#include "shared/downloadpool.h"
#include "shared/widgets/qtextbrowserwithnetwork.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QPixmap>
#include <QPointer>
#include <QScreen>
#include <QSpacerItem>
#include <QTextDocument>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <limits>

namespace orvale::launcher {

const char* const MakerWebSite = "https://www.veldan.example/";
const char* const TwitterPageUrl = "https://www.ashgrove-online.example/follow/twitter";
const char* const DiscordInvitationUrl = "https://www.ashgrove-online.example/follow/discord";
const char* const LgplLicenceUrl = "https://www.gnu.org/licenses/lgpl-3.0.html";
const char* const QtBaseSourceUrl = "https://code.qt.io/cgit/qt/qtbase.git/";

namespace {

// The window's fixed width and the range of its height.
constexpr int WindowWidth = 800;
constexpr int WindowMinimumHeight = 450;
constexpr int WindowMaximumHeight = 600;
constexpr int TilesPerRow = 4;
// The room the hint row takes once hints arrive; a spacer holds it before.
constexpr int HintRowWidth = 700;
constexpr int HintRowHeight = 84;  // also the height of a slot's hover frame
constexpr int HintFrameWidth = 286;

// A rich-text document that loads no resource of any kind: every request
// (images, style sheets, backgrounds; from the network, the resource tree or
// local files) is answered with nothing, and remembered.
class TResourceRefusingDocument : public QTextDocument
{
public:
  bool askedForResources() const { return m_AskedForResources; }

protected:
  QVariant loadResource(int Type, const QUrl&) override
  {
    m_AskedForResources = true;
    // Never a null value, and for images a real one: QTextDocument reads a
    // file itself for a null value, and the image handler loads the file
    // by its name when the data is no image.
    if (Type == QTextDocument::ImageResource) {
      QImage Blank(1, 1, QImage::Format_ARGB32_Premultiplied);
      Blank.fill(Qt::transparent);
      return Blank;
    }
    return QByteArray("");
  }

private:
  bool m_AskedForResources = false;
};

// Only web addresses are followed from hints: never local files, devices,
// embedded data or other programs' URL schemes.
bool isWebUrl(const QUrl& Url)
{
  const QString Scheme = Url.scheme().toLower();
  return Url.isValid() && (Scheme == "http" || Scheme == "https") && !Url.host().isEmpty();
}

} // namespace

QString hintCaptionText(const QString& RichText)
{
  // Laid out and drawn once here, where every resource request is refused;
  // the caption label's own document would answer them from local files.
  TResourceRefusingDocument Document;
  Document.setHtml(RichText);
  QImage Canvas(1, 1, QImage::Format_ARGB32_Premultiplied);
  QPainter Painter(&Canvas);
  Document.drawContents(&Painter);
  Painter.end();
  if (!Document.askedForResources())
    return RichText;
  const QString Plain = Document.toPlainText().remove(QChar::ObjectReplacementCharacter).simplified();
  qWarning().noquote() << "Hint caption refers to resources, shown as plain text:" << Plain;
  return Plain.toHtmlEscaped();
}

QUrl hintLinkTarget(const QString& Link)
{
  const QUrl Target(Link.trimmed(), QUrl::TolerantMode);
  return isWebUrl(Target) ? Target : QUrl();
}

namespace {

#ifndef ASHGROVE_LAUNCHER_VERSION
#define ASHGROVE_LAUNCHER_VERSION "0.0.12"
#endif

const char* const WindowStyleSheet = R"(
        QMainWindow {
          border-image: url(:/images/launcher/BackgroundImage.jpg) 0 0 450 0;
          border-top: 0px transparent;
          border-left: 0px transparent;
          border-bottom: 450px transparent;
          border-right: 0px transparent;
        }
      )";

QString versionLabelStyleSheet()
{
  return "QLabel {" + launcherTextDeclarations(11) + "}";
}

// Border: the width of the frame's border image, in pixels.
QString hintGroupBoxStyleSheet(int Border)
{
  return QString(R"(
        QGroupBox {
          border-image: url(:/images/launcher/hint-background.png) %1 %1 0 %1 repeat;
          border-top: %1px transparent;
          border-left: %1px transparent;
          border-bottom: %1px transparent;
          border-right: %1px transparent;
          background-attachment: fixed;)")
             .arg(Border) +
         launcherTextDeclarations(11) + R"(
        }
        QGroupBox::title {
          color: #DADABC;
          margin-top: 2px transparent;
          background-color: transparent;
        }
      )";
}

QString hintBrowserStyleSheet()
{
  return R"(
        QTextBrowser {)" + launcherTextDeclarations(11) + R"(          border: none;
        }
        QScrollBar:vertical {
          border-image: url(:/images/launcher/scrollbar-texture-vertical.png) 6 6 6 6;
          border-width: 6px;
          width: 12px;
          margin: 12px 0px 12px 0px;
        }
        QScrollBar::handle:vertical {
          border-image: url(:/images/launcher/scrollbar-handle-vertical.png) 6 6 6 6;
          border-width: 6px;
          min-height: 12px;
        }
        QScrollBar::add-line:vertical {
          height: 12px;
          subcontrol-position: bottom;
          subcontrol-origin: margin;
        }
        QScrollBar::sub-line:vertical {
          height: 12px;
          subcontrol-position: top;
          subcontrol-origin: margin;
        }
        QScrollBar::up-arrow:vertical {
          image: url(:/images/launcher/scrollbar-buttonup-up.png);
        }
        QScrollBar::up-arrow:vertical:pressed {
          image: url(:/images/launcher/scrollbar-buttonup-down.png);
        }
        QScrollBar::down-arrow:vertical {
          image: url(:/images/launcher/scrollbar-buttondown-up.png);
        }
        QScrollBar::down-arrow:vertical:pressed {
          image: url(:/images/launcher/scrollbar-buttondown-down.png);
        }
        QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {
          background: none;
        }
      )";
}

// "underline": the links of a hint's text are underlined.
const char* const HintDocumentStyleSheet = R"(
        a {
          text-decoration:underline;
          color: #c0c0c0;
        }
      )";

// PaddingLeft: the caption's distance from the slot's left edge, in pixels.
QString hintCaptionStyleSheet(int PaddingLeft)
{
  return "QLabel {" + launcherTextDeclarations(11) + QString(R"(
            padding-left: %1px;
            background-color: rgba(50, 50, 50, 0.7);
          }
        )").arg(PaddingLeft);
}

const char* const HintFrameStyleSheet = R"(
        QWidget:hover { background-color: #8ED838; }
        QWidget { background-color: transparent; }
      )";

const char* const HintCategories[HintSlotCount] = {"cat1", "cat2", "cat3"};

void openHintUrl(const QString& Url)
{
  const QUrl Target = hintLinkTarget(Url);
  if (Target.isEmpty()) {
    qWarning().noquote() << "Hint link not opened:" << Url;
    return;
  }
  QDesktopServices::openUrl(Target);
}

void applyHintMask(QWidget* Widget, int SlotIndex)
{
  if (SlotIndex == 0)
    setLeftHintMask(Widget);
  else if (SlotIndex == 1)
    setMiddleHintMask(Widget);
  else
    setRightHintMask(Widget);
}

} // namespace

QString launcherVersionText()
{
  // The application object may name its own version; else the version the
  // widgets were built with.
  const QString FromApplication = QCoreApplication::applicationVersion();
  return FromApplication.isEmpty() ? QString(ASHGROVE_LAUNCHER_VERSION) : FromApplication;
}

QString aboutBoxTitle()
{
  return qtTrId("launcher.about.title");
}

QString aboutBoxText()
{
  const QString Text = qtTrId("launcher.about.text");
  // Without the translation the id itself is shown, which has nothing to
  // fill in.
  if (!Text.contains("%1"))
    return Text;
  const QString Lgpl(LgplLicenceUrl);
  const QString QtSource(QtBaseSourceUrl);
  return Text.arg(QString("2002"), QString::number(QDate::currentDate().year()), Lgpl, Lgpl, QtSource, QtSource);
}

QString downloadFailedText(const QString& PackageName, const QString& Diagnostics)
{
  return QString("The installation of %1 failed.\n\nNot all files necessary could be downloaded. Please try again "
                 "later.\n\nDiagnostic information: %2")
      .arg(PackageName, Diagnostics);
}

QString cdnTraceDiagnostics(const TCloudflareCdnTrace* Trace)
{
  if (!Trace)
    return "Failed to obtain information.";
  if (Trace->received())
    return QString("FL: %1, TS: %2, COLO: %3, IP: %4").arg(Trace->fl(), Trace->ts(), Trace->colo(), Trace->ip());
  if (Trace->failed())
    return "Failed to obtain information.";
  return "Loading, please wait...";
}

TLauncherMainWindow::TLauncherMainWindow(std::shared_ptr<TLauncherConfigurationReader> Configuration,
                                         std::shared_ptr<TCloudflareCdnTrace> CdnTrace,
                                         std::shared_ptr<shared::TDownloadPool> DownloadPool,
                                         TInstallationManager* InstallationManager,
                                         std::vector<std::shared_ptr<TPackage>> Packages, bool ShowPackageNames,
                                         QWidget* Parent)
  : TDraggableMainWindow(Parent), m_pConfiguration(std::move(Configuration)),
    m_pDownloadPool(std::move(DownloadPool)), m_pCdnTrace(std::move(CdnTrace))
{
  initLauncherUiResources();
  setUpFrame();
  QHBoxLayout* PackageRow = createPackageRow(Packages, ShowPackageNames);
  QHBoxLayout* AboutRow = createAboutRow();
  QHBoxLayout* SocialRow = createSocialRow();
  createMainLayout(PackageRow, Packages.empty());
  createHintArea();
  fillFooter(AboutRow, SocialRow);
  followInstallations(InstallationManager);
  placeOnScreen();
  sendFunnelEvent("launcher_started", "FunnelStartedFirst");
}

void TLauncherMainWindow::setUpFrame()
{
  setWindowTitle("Ashgrove Online");
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedWidth(WindowWidth);
  setMaximumHeight(WindowMaximumHeight);
  setMinimumHeight(WindowMinimumHeight);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::MinimumExpanding);
  setStyleSheet(WindowStyleSheet);
}

QHBoxLayout* TLauncherMainWindow::createPackageRow(const std::vector<std::shared_ptr<TPackage>>& Packages,
                                                   bool ShowPackageNames)
{
  // The grid between two stretches, one tile per package.
  auto* Central = new QWidget(this);
  setCentralWidget(Central);
  auto* PackageRow = new QHBoxLayout;
  auto* Grid = new QGridLayout;
  Grid->setVerticalSpacing(6);
  PackageRow->addStretch(1);
  PackageRow->addLayout(Grid, 2);
  PackageRow->addStretch(1);
  int Counter = 0;
  for (const std::shared_ptr<TPackage>& Package : Packages) {
    if (!Package)
      continue;
    auto* Tile = new TClientPackageLayoutItem(Package, ShowPackageNames);
    Grid->addLayout(Tile, Counter / TilesPerRow, Counter % TilesPerRow);
    ++Counter;
    m_PackageTiles[Package->index()] = Tile;
    Tile->setDefaultClientChecked(Package->isDefault());
    connect(Tile, &TClientPackageLayoutItem::defaultChanged, this,
            &TLauncherMainWindow::onDefaultClientPackageCheckboxChanged);
    connect(Tile, &TClientPackageLayoutItem::buttonClicked, this, &TLauncherMainWindow::clientPackageButtonClicked);
    connect(Tile, &TClientPackageLayoutItem::verifyButtonClicked, this,
            &TLauncherMainWindow::clientPackageVerifyButtonClicked);
  }
  return PackageRow;
}

QHBoxLayout* TLauncherMainWindow::createAboutRow()
{
  auto* AboutRow = new QHBoxLayout;
  AboutRow->addStretch();
  QLabel* AboutLink = createLinkLabel(this, ":/images/launcher/icircle.png", "about", "About");
  AboutLink->setOpenExternalLinks(false);
  connect(AboutLink, &QLabel::linkActivated, this, &TLauncherMainWindow::onAboutDialogRequested);
  AboutRow->addWidget(AboutLink);
  auto* VersionLabel = new QLabel("v" + launcherVersionText(), this);
  VersionLabel->setStyleSheet(versionLabelStyleSheet());
  AboutRow->addWidget(VersionLabel);
  return AboutRow;
}

QHBoxLayout* TLauncherMainWindow::createSocialRow()
{
  auto* SocialRow = new QHBoxLayout;
  SocialRow->addStretch();
  SocialRow->addWidget(createLinkLabel(this, ":/images/launcher/Twitter.png", TwitterPageUrl, "Follow us on Twitter"));
  SocialRow->addWidget(createLinkLabel(this, ":/images/launcher/Discord.png", DiscordInvitationUrl, "Follow us on Discord"));
  SocialRow->addStretch();
  return SocialRow;
}

void TLauncherMainWindow::createMainLayout(QHBoxLayout* PackageRow, bool NoPackages)
{
  m_pMainLayout = new QVBoxLayout(centralWidget());
  m_pMainLayout->setSpacing(11);
  m_pMainLayout->addLayout(PackageRow);
  if (NoPackages) {
    m_pMainLayout->addSpacing(300);
    QMessageBox* Box = windowMessageBox();
    Box->setWindowTitle("Connection problem");
    Box->setText("Could not connect to the update service.\n\nPlease try again later.\n");
    Box->setIcon(QMessageBox::Critical);
    showMessageBoxWithoutWaiting(*Box);
  }
  m_pMainLayout->addSpacing(6);
  m_pHintSpacer = new QSpacerItem(HintRowWidth, HintRowHeight, QSizePolicy::Minimum, QSizePolicy::Minimum);
  m_pMainLayout->addSpacerItem(m_pHintSpacer);
}

void TLauncherMainWindow::createHintArea()
{
  m_pHintGroupBox = new QGroupBox(this);
  m_pHintGroupBox->setTitle(QString());
  m_pHintGroupBox->setAlignment(Qt::AlignHCenter);
  m_pHintGroupBox->setStyleSheet(hintGroupBoxStyleSheet(5));
  m_pHintRowLayout = new QHBoxLayout;
  m_pHintRowLayout->setSpacing(0);
  for (int Index = 0; Index < HintSlotCount; ++Index) {
    m_pHintBrowsers[Index] = createHintBrowser();
    m_pHintSlots[Index] = createHintSlotContainer(this, m_pHintBrowsers[Index]);
    applyHintMask(m_pHintSlots[Index], Index);
    m_pHintRowLayout->addWidget(m_pHintSlots[Index]);
  }
  m_pHintRowLayout->setContentsMargins(0, 0, 44, 0);
  m_pHintRowWidget = new QWidget(this);
  m_pHintRowWidget->setLayout(m_pHintRowLayout);
  m_pHintRowWidget->hide();
  m_pHintGroupBox->setMinimumWidth(780);
  m_pHintGroupBox->setMaximumWidth(790);
  // Height the window has to spare stays above the hint area, which keeps
  // to the bottom edge.
  m_pHintGroupBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
  m_pHintGroupLayout = new QVBoxLayout(m_pHintGroupBox);
  m_pHintGroupBox->show();
  m_pMainLayout->addWidget(m_pHintGroupBox, 0, Qt::AlignHCenter);
  m_pMainLayout->addSpacing(-14);
}

void TLauncherMainWindow::fillFooter(QHBoxLayout* AboutRow, QHBoxLayout* SocialRow)
{
  // The maker's logo, the About row and the social row, inside the group box.
  m_pHintGroupLayout->addSpacing(8);
  auto* MakerLogo = new QLabel(this);
  MakerLogo->setTextFormat(Qt::RichText);
  MakerLogo->setText(QString("<a href=\"%1\"><img src=\":/images/launcher/VeldanLogo.png\"/></a>").arg(MakerWebSite));
  MakerLogo->setToolTip(MakerWebSite);
  MakerLogo->setOpenExternalLinks(true);
  m_pHintGroupLayout->addWidget(MakerLogo, 0, Qt::AlignLeft);
  m_pHintGroupLayout->addSpacing(-22);
  m_pHintGroupLayout->addLayout(AboutRow);
  m_pHintGroupLayout->addSpacing(-34);
  m_pHintGroupLayout->addLayout(SocialRow);
  m_pHintGroupLayout->addSpacing(8);
}

void TLauncherMainWindow::followInstallations(TInstallationManager* InstallationManager)
{
  if (!InstallationManager)
    return;
  connect(InstallationManager, &TInstallationManager::installationOrUpdateStarted, this,
          &TLauncherMainWindow::onInstallationOrUpdateStarted);
  connect(InstallationManager, &TInstallationManager::installationOrUpdateFinished, this,
          &TLauncherMainWindow::onInstallationOrUpdateFinished);
  const std::shared_ptr<TPackage> Default = InstallationManager->defaultPackage();
  m_DefaultPackageIndex = Default ? Default->index() : -1;
}

void TLauncherMainWindow::placeOnScreen()
{
  // The height the contents ask for (within the minimum and the maximum),
  // centred on the default screen.
  resize(WindowWidth, qBound(minimumHeight(), sizeHint().height(), maximumHeight()));
  if (QScreen* Screen = QGuiApplication::primaryScreen()) {
    const QRect Area = Screen->geometry();
    move(Area.x() + (Area.width() - width()) / 2, Area.y() + (Area.height() - height()) / 2);
  }
}

TLauncherMainWindow::~TLauncherMainWindow()
{
  // A spacer taken out of the layout is the window's own.
  if (m_pHintSpacer && m_pMainLayout->indexOf(m_pHintSpacer) < 0)
    delete m_pHintSpacer;
}

TClientPackageLayoutItem* TLauncherMainWindow::packageTile(int PackageIndex) const
{
  const auto Found = m_PackageTiles.find(PackageIndex);
  return Found == m_PackageTiles.end() ? nullptr : Found->second;
}

QWidget* TLauncherMainWindow::hintSlot(int Index) const
{
  return Index >= 0 && Index < HintSlotCount ? m_pHintSlots[Index] : nullptr;
}

const shared::THint* TLauncherMainWindow::shownHint(int Index) const
{
  return Index >= 0 && Index < HintSlotCount ? m_ShownHints[Index].get() : nullptr;
}

shared::QTextBrowserWithNetwork* TLauncherMainWindow::createHintBrowser()
{
  auto* Browser = new shared::QTextBrowserWithNetwork(this, m_pDownloadPool);
  Browser->setOpenExternalLinks(true);
  Browser->setContextMenuPolicy(Qt::NoContextMenu);
  Browser->setMinimumSize(280, 104);
  Browser->setMaximumSize(280, 104);
  Browser->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  Browser->viewport()->setAutoFillBackground(true);
  Browser->setStyleSheet(hintBrowserStyleSheet());
  Browser->document()->setDefaultStyleSheet(HintDocumentStyleSheet);
  return Browser;
}

QMessageBox* TLauncherMainWindow::windowMessageBox()
{
  if (!m_pMessageBox)
    m_pMessageBox = new QMessageBox(this);
  return m_pMessageBox;
}

// ------------------------------------------------------------------ hints

void TLauncherMainWindow::setHint(const shared::THint& Hint)
{
  // One hint on its own goes into its slot; the row appears once every
  // slot has a hint.
  for (int Index = 0; Index < HintSlotCount; ++Index) {
    if (Hint.category != HintCategories[Index])
      continue;
    if (m_pHintGroupLayout->indexOf(m_pHintRowWidget) < 0)
      m_pHintGroupLayout->insertWidget(0, m_pHintRowWidget);
    m_pHintGroupLayout->setContentsMargins(0, 0, 0, 0);
    QWidget* Frame = showHintInSlot(Hint, Index);
    if (Frame)
      applyHintMask(Frame, Index);
    const bool AllShown = m_ShownHints[0] && m_ShownHints[1] && m_ShownHints[2];
    if (AllShown) {
      m_pHintRowWidget->show();
      if (m_pHintSpacer && m_pMainLayout->indexOf(m_pHintSpacer) >= 0)
        m_pMainLayout->removeItem(m_pHintSpacer);
    }
    return;
  }
}

void TLauncherMainWindow::setHints(std::vector<shared::THint> Hints)
{
  m_pHintGroupBox->hide();
  bool Occurred[HintSlotCount] = {false, false, false};
  if (!Hints.empty()) {
    if (m_pHintGroupLayout->indexOf(m_pHintRowWidget) < 0)
      m_pHintGroupLayout->insertWidget(0, m_pHintRowWidget);
    m_pHintGroupLayout->setContentsMargins(0, 0, 0, 0);
    m_pHintRowWidget->show();
    for (const shared::THint& Hint : Hints) {
      for (int Index = 0; Index < HintSlotCount; ++Index) {
        if (Hint.category != HintCategories[Index])
          continue;
        QWidget* Frame = showHintInSlot(Hint, Index);
        if (Frame)
          applyHintMask(Frame, Index);
        Occurred[Index] = true;
      }
    }
  }
  if (Occurred[0] && Occurred[1] && Occurred[2]) {
    // The row takes the spacer's place.
    if (m_pHintSpacer && m_pMainLayout->indexOf(m_pHintSpacer) >= 0)
      m_pMainLayout->removeItem(m_pHintSpacer);
  } else {
    m_pHintRowWidget->hide();
    restoreHintSpacer();
  }
  m_pHintGroupBox->show();
}

void TLauncherMainWindow::restoreHintSpacer()
{
  if (!m_pHintSpacer || m_pMainLayout->indexOf(m_pHintSpacer) >= 0)
    return;
  const int GroupBoxIndex = m_pMainLayout->indexOf(m_pHintGroupBox);
  m_pMainLayout->insertItem(GroupBoxIndex < 0 ? m_pMainLayout->count() : GroupBoxIndex, m_pHintSpacer);
}

void TLauncherMainWindow::fetchHintImage(const QUrl& Url, std::function<void(const QByteArray&)> Done)
{
  if (Url.isEmpty())
    return;
  if (!isWebUrl(Url)) {
    qWarning().noquote() << "Hint image not fetched, not an http or https address:" << Url.toString();
    return;
  }
  // Each fetch has its own manager, so that nothing of a stalled fetch
  // survives it; the window owns it until the fetch ends.
  auto* Manager = new QNetworkAccessManager(this);
  QNetworkRequest Request = shared::makeRequest(Url);
  Request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
  QNetworkReply* Reply = Manager->get(Request);
  shared::limitReplyBody(Reply, HintImageMaximumBytes);
  auto* Deadline = new QTimer(Reply);
  Deadline->setSingleShot(true);
  Deadline->setTimerType(Qt::PreciseTimer);
  connect(Deadline, &QTimer::timeout, Reply, [Reply, Url] {
    qWarning().noquote() << QString("Hint image not received within %1 ms: %2").arg(HintImageTimeoutMs).arg(Url.toString());
    Reply->setProperty("timedOut", true);
    Reply->abort();
  });
  connect(Reply, &QNetworkReply::finished, Manager, [Manager, Reply, Url, Done = std::move(Done)] {
    Manager->deleteLater();
    if (Reply->property("timedOut").toBool())
      return;
    if (shared::replyError(Reply) != QNetworkReply::NoError) {
      qWarning().noquote() << "Hint image download failed:" << Url.toString() << shared::replyErrorString(Reply);
      return;
    }
    Done(shared::takeReplyBody(Reply));
  });
  Deadline->start(HintImageTimeoutMs);
}

namespace {

// Shows the image Data (a hint picture, or nothing) in the slot's image
// label: scaled to cover the slot's size and centred in it.
void showHintImage(ClickableLabel& Image, const QByteArray& Data)
{
  QPixmap Pixmap;
  if (!Data.isEmpty() && Pixmap.loadFromData(Data))
    Pixmap = Pixmap.scaled(290, 80, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
  else
    Pixmap = QPixmap();
  const QWidget* Slot = Image.parentWidget();
  QRect Geometry(QPoint(0, 0), Pixmap.isNull() ? QSize(290, 80) : Pixmap.size().expandedTo(QSize(290, 80)));
  Geometry.moveCenter(Slot->rect().center());
  Image.setGeometry(Geometry);
  if (!Pixmap.isNull())
    Image.setPixmap(Pixmap.scaled(Image.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}

} // namespace

QWidget* TLauncherMainWindow::showHintInSlot(const shared::THint& Hint, int SlotIndex)
{
  QWidget* Slot = m_pHintSlots[SlotIndex];

  // The previous content goes (all of it: a second hint of a category
  // replaces the first completely).
  for (QWidget* Child : Slot->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
    Child->hide();
    Child->deleteLater();
  }

  auto* Image = new ClickableLabel(Slot);
  Image->setMinimumSize(290, 80);
  showHintImage(*Image, QByteArray());
  Image->setOpenExternalLinks(true);
  Image->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  Image->setToolTip(Hint.url);
  Image->setCursor(Qt::PointingHandCursor);
  // The label goes with the hint it shows: a picture arriving after the
  // hint was replaced is dropped.
  QPointer<ClickableLabel> ImageLabel(Image);
  fetchHintImage(QUrl(Hint.imageUrl), [ImageLabel](const QByteArray& Data) {
    if (ImageLabel)
      showHintImage(*ImageLabel, Data);
  });

  auto* Caption = new ClickableLabel(Slot);
  Caption->setTextFormat(Qt::RichText);
  Caption->setText(hintCaptionText(Hint.richText));
  Caption->setStyleSheet(hintCaptionStyleSheet(SlotIndex == 0 ? 10 : 18));
  Caption->setAlignment(Qt::AlignVCenter);
  Caption->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
  Caption->setToolTip(Hint.url);
  Caption->setCursor(Qt::PointingHandCursor);
  Caption->setGeometry(0, 50, 280, 30);

  // Both open the hint's link.
  const QString Url = Hint.url;
  connect(Image, &ClickableLabel::clicked, this, [Url] { openHintUrl(Url); });
  connect(Caption, &ClickableLabel::clicked, this, [Url] { openHintUrl(Url); });
  Image->show();
  Caption->show();

  // Hover frame around the slot; a slot that has one keeps it.
  QWidget* Frame = m_pHintFrames[SlotIndex];
  if (!Frame) {
    Frame = new QWidget(this);
    Frame->setMinimumSize(HintFrameWidth, HintRowHeight);
    Frame->setMaximumSize(HintFrameWidth, HintRowHeight);
    Frame->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    Frame->setStyleSheet(HintFrameStyleSheet);
    auto* FrameLayout = new QHBoxLayout(Frame);
    FrameLayout->setSpacing(0);
    FrameLayout->setContentsMargins(0, 0, 0, 0);
    delete m_pHintRowLayout->replaceWidget(Slot, Frame, Qt::FindChildrenRecursively);
    FrameLayout->addWidget(Slot, 0, Qt::AlignCenter);
    m_pHintRowLayout->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
    m_pHintFrames[SlotIndex] = Frame;
  }
  Slot->show();
  m_ShownHints[SlotIndex] = std::make_unique<shared::THint>(Hint);
  return Frame;
}

// ------------------------------------------------------- default checkbox

void TLauncherMainWindow::onDefaultClientPackageCheckboxChanged(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
  if (!pPackage)
    return;
  if (IsDefault && m_DefaultPackageIndex == pPackage->index())
    return;
  if (!IsDefault && m_DefaultPackageIndex != pPackage->index())
    return;
  applyDefault(pPackage, IsDefault);
  emit defaultChanged(pPackage, IsDefault);
}

void TLauncherMainWindow::setDefault(std::shared_ptr<TPackage> pPackage, bool IsDefault)
{
  if (!pPackage)
    return;
  applyDefault(pPackage, IsDefault);
}

void TLauncherMainWindow::applyDefault(const std::shared_ptr<TPackage>& Package, bool IsDefault)
{
  m_DefaultPackageIndex = IsDefault ? Package->index() : -1;
  // Unchecking the others comes back through their defaultChanged, which
  // the early stop above swallows.
  for (const auto& [Index, Tile] : m_PackageTiles) {
    if (Index == Package->index())
      Tile->setDefaultClientChecked(IsDefault);
    else if (Tile->defaultClientCheckBox()->isChecked())
      Tile->defaultClientCheckBox()->setChecked(false);
  }
}

// ---------------------------------------------------------- installations

void TLauncherMainWindow::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
  const std::shared_ptr<TPackage> Package = InstallationInProgress.package();
  if (!Package)
    return;
  if (TClientPackageLayoutItem* Tile = packageTile(Package->index()))
    Tile->onInstallationOrUpdateStarted(InstallationInProgress);
}

void TLauncherMainWindow::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
  const std::shared_ptr<TPackage> Package = InstallationInProgress.package();
  const QString Name = Package ? Package->name() : QString();
  qInfo().noquote() << QString("onInstallationOrUpdateFinished package: %1 error reason: %2%3")
                           .arg(Name)
                           .arg(int(InstallationInProgress.errorReason()))
                           .arg(threadTag());
  if (Package) {
    if (TClientPackageLayoutItem* Tile = packageTile(Package->index()))
      Tile->onInstallationOrUpdateFinished(InstallationInProgress);
  }
  switch (InstallationInProgress.errorReason()) {
  case DownloadFailed:
    showDownloadFailedMessage(Name);
    break;
  case SaveFailed:
    showInstallationFailedBox(QString("The installation of %1 failed.\n\nMake sure you have enough free disk space and "
                                      "the application isn't currently running, then try again.")
                                  .arg(Name));
    break;
  case VerificationFailed:
    showInstallationFailedBox(QString("The installation of %1 failed.\n\nVerification of game data failed!").arg(Name));
    break;
  case NotEnoughDiskSpace:
    showNotEnoughDiskSpaceBox(Name, InstallationInProgress.diskSpaceNeeded(), InstallationInProgress.diskSpaceFree());
    break;
  default:
    break;
  }
}

void TLauncherMainWindow::showInstallationFailedBox(const QString& Text)
{
  QMessageBox Box(QMessageBox::Critical, "Installation failed", Text, QMessageBox::Ok, this);
  execMessageBox(Box);
}

void TLauncherMainWindow::showNotEnoughDiskSpaceBox(const QString& PackageName, TFileSize Needed, TFileSize Free)
{
  const auto Size = [](TFileSize Bytes) {
    return QLocale().formattedDataSize(qint64(std::min<TFileSize>(Bytes, std::numeric_limits<qint64>::max())));
  };
  QMessageBox Box(QMessageBox::Critical, "Not enough disk space",
                  QString("%1 cannot be installed: it needs %2 of disk space, but only %3 are free.\n\n"
                          "Free some disk space, then try again.")
                      .arg(PackageName, Size(Needed), Size(Free)),
                  QMessageBox::Ok, this);
  execMessageBox(Box);
}

void TLauncherMainWindow::showDownloadFailedMessage(const QString& PackageName)
{
  QMessageBox* Box = windowMessageBox();
  if (m_pCdnTrace) {
    if (!m_pCdnTrace->received() && !m_pCdnTrace->failed() && !m_pCdnTrace->inProgress())
      m_pCdnTrace->requestTrace();
    // A trace that fails at once (no URL) has already answered here.
    if (m_pCdnTrace->inProgress()) {
      m_PendingDownloadFailure = PackageName;
      if (!m_TraceConnection)
        m_TraceConnection = connect(m_pCdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived, this,
                                    &TLauncherMainWindow::onDiagnosticsTraceReceived);
    }
  }
  Box->setWindowTitle("Download failed");
  Box->setText(downloadFailedText(PackageName, cdnTraceDiagnostics(m_pCdnTrace.get())));
  Box->setIcon(QMessageBox::Critical);
  showMessageBoxWithoutWaiting(*Box);
}

void TLauncherMainWindow::onDiagnosticsTraceReceived()
{
  disconnect(m_TraceConnection);
  m_TraceConnection = QMetaObject::Connection();
  const QString PackageName = m_PendingDownloadFailure;
  m_PendingDownloadFailure.clear();
  if (m_pMessageBox && m_pMessageBox->isVisible())
    showDownloadFailedMessage(PackageName);
}

// ------------------------------------------------------------------ about

void TLauncherMainWindow::onAboutDialogRequested(QString)
{
  QMessageBox Box(this);
  Box.setWindowTitle(aboutBoxTitle());
  Box.setIcon(QMessageBox::Information);
  Box.setTextFormat(Qt::RichText);
  Box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
  Box.setText(aboutBoxText());
  execMessageBox(Box);
}

} // namespace orvale::launcher
