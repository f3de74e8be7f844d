#pragma once

#include "launcher/cloudflarecdntrace.h"
#include "launcher/launcherconfigurationreader.h"
#include "engine/package.h"
#include "engine/types.h"
#include "launcher/ui/draggablemainwindow.h"
#include "shared/randomhints.h"

#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <map>
#include <functional>
#include <memory>
#include <vector>

class QGroupBox;
class QHBoxLayout;
class QMessageBox;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

namespace shared {
class QTextBrowserWithNetwork;
class TDownloadPool;
} // namespace shared

namespace orvale::launcher {

class TClientPackageLayoutItem;
class TInstallationManager;
class TPackageInstallation;

// Addresses shown by the window.
extern const char* const MakerWebSite;
extern const char* const TwitterPageUrl;
extern const char* const DiscordInvitationUrl;
extern const char* const LgplLicenceUrl;
extern const char* const QtBaseSourceUrl;

// The version the window shows ("v" + this): the application's version
// when one is set (QCoreApplication::setApplicationVersion), else the
// project version the widgets were built with.
QString launcherVersionText();
// A hint's rich text for a caption: the text itself when, laid out and drawn,
// it asks for no resource (image, background or style sheet), else its plain
// text. The text comes from the network, and a label's rich text would read
// a local file (a device or a named pipe, even) named there.
QString hintCaptionText(const QString& RichText);
// The address a hint's link opens: the link read tolerantly (surrounding
// white space, spaces and other characters that need encoding), or an empty
// URL when it is not an http or https address with a host.
QUrl hintLinkTarget(const QString& Link);

// The texts of the About box: the translations of "launcher.about.title"
// and "launcher.about.text", the latter filled with the first year, the
// current year, the LGPL v3 address (twice) and the Qt base source address
// (twice).
QString aboutBoxTitle();
QString aboutBoxText();

// The download-failure text for a package and the diagnostic information.
QString downloadFailedText(const QString& PackageName, const QString& Diagnostics);
// The diagnostic information for the trace's current state: its values,
// "Failed to obtain information." or "Loading, please wait...".
QString cdnTraceDiagnostics(const TCloudflareCdnTrace* Trace);

// Image fetches of the hint slots (http and https only) give up after this
// long.
constexpr int HintImageTimeoutMs = 5000;
// ... or as soon as an image turns out larger than this.
constexpr qint64 HintImageMaximumBytes = 16 * 1024 * 1024;
// The hint row's slots, one per category "cat1", "cat2" and "cat3".
constexpr int HintSlotCount = 3;

// The launcher's window: one tile per client package in a grid of four
// columns, the hint row with three news slots, the maker's logo, the About
// link with the version and two social links. It turns the tiles' requests
// into its own signals, keeps exactly one "Default Client" checkbox
// checked, follows the installation manager's jobs and reports failed
// installations.
class TLauncherMainWindow : public TDraggableMainWindow
{
  Q_OBJECT
public:
  TLauncherMainWindow(std::shared_ptr<TLauncherConfigurationReader> Configuration,
                      std::shared_ptr<TCloudflareCdnTrace> CdnTrace,
                      std::shared_ptr<shared::TDownloadPool> DownloadPool, TInstallationManager* InstallationManager,
                      std::vector<std::shared_ptr<TPackage>> Packages, bool ShowPackageNames,
                      QWidget* Parent = nullptr);
  ~TLauncherMainWindow() override;

  // Read access for the controller and the tests.
  int defaultPackageIndex() const { return m_DefaultPackageIndex; }
  const std::map<int, TClientPackageLayoutItem*>& packageTiles() const { return m_PackageTiles; }
  TClientPackageLayoutItem* packageTile(int PackageIndex) const;
  QMessageBox* messageBox() const { return m_pMessageBox; }
  QWidget* hintRowWidget() const { return m_pHintRowWidget; }
  QGroupBox* hintGroupBox() const { return m_pHintGroupBox; }
  // Null once the hint row has taken its place.
  QSpacerItem* hintSpacer() const { return m_pHintSpacer; }
  QVBoxLayout* mainLayout() const { return m_pMainLayout; }
  // The slot container of "cat1", "cat2" or "cat3" (index 0 to 2).
  QWidget* hintSlot(int Index) const;
  // The hint shown in a slot, if any.
  const shared::THint* shownHint(int Index) const;

signals:
  void defaultChanged(std::shared_ptr<orvale::launcher::TPackage> pPackage, bool IsDefault);
  void clientPackageButtonClicked(std::shared_ptr<orvale::launcher::TPackage> pPackage);
  void clientPackageVerifyButtonClicked(std::shared_ptr<orvale::launcher::TPackage> pPackage);

public slots:
  void setHint(const shared::THint& Hint);
  void setHints(std::vector<shared::THint> Hints);
  void onDefaultClientPackageCheckboxChanged(std::shared_ptr<orvale::launcher::TPackage> pPackage, bool IsDefault);
  void setDefault(std::shared_ptr<orvale::launcher::TPackage> pPackage, bool IsDefault);
  void onInstallationOrUpdateStarted(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void onInstallationOrUpdateFinished(const orvale::launcher::TPackageInstallation& InstallationInProgress);
  void onAboutDialogRequested(QString);

private:
  // Parts of the window, built by the constructor in this order.
  void setUpFrame();
  QHBoxLayout* createPackageRow(const std::vector<std::shared_ptr<TPackage>>& Packages, bool ShowPackageNames);
  QHBoxLayout* createAboutRow();
  QHBoxLayout* createSocialRow();
  void createMainLayout(QHBoxLayout* PackageRow, bool NoPackages);
  void createHintArea();
  void fillFooter(QHBoxLayout* AboutRow, QHBoxLayout* SocialRow);
  void followInstallations(TInstallationManager* InstallationManager);
  void placeOnScreen();

  shared::QTextBrowserWithNetwork* createHintBrowser();
  void applyDefault(const std::shared_ptr<TPackage>& Package, bool IsDefault);
  void showDownloadFailedMessage(const QString& PackageName);
  void onDiagnosticsTraceReceived();
  void showInstallationFailedBox(const QString& Text);
  void showNotEnoughDiskSpaceBox(const QString& PackageName, TFileSize Needed, TFileSize Free);
  QMessageBox* windowMessageBox();
  // Puts the hint into the slot and returns the hover frame around it; the
  // hint's image is fetched meanwhile and shown when it arrives.
  QWidget* showHintInSlot(const shared::THint& Hint, int SlotIndex);
  // Fetches the image at Url (http and https only, within
  // HintImageMaximumBytes and HintImageTimeoutMs) without blocking and hands
  // its bytes to Done, or nothing when the fetch fails. Done is not called
  // once the window is gone.
  void fetchHintImage(const QUrl& Url, std::function<void(const QByteArray&)> Done);
  void restoreHintSpacer();

  std::shared_ptr<TLauncherConfigurationReader> m_pConfiguration;
  std::map<int, TClientPackageLayoutItem*> m_PackageTiles;
  QSpacerItem* m_pHintSpacer = nullptr;
  QVBoxLayout* m_pMainLayout = nullptr;
  QWidget* m_pHintRowWidget = nullptr;
  QHBoxLayout* m_pHintRowLayout = nullptr;
  shared::QTextBrowserWithNetwork* m_pHintBrowsers[HintSlotCount] = {nullptr, nullptr, nullptr};
  QWidget* m_pHintSlots[HintSlotCount] = {nullptr, nullptr, nullptr};
  QWidget* m_pHintFrames[HintSlotCount] = {nullptr, nullptr, nullptr};
  std::unique_ptr<shared::THint> m_ShownHints[HintSlotCount];
  QGroupBox* m_pHintGroupBox = nullptr;
  QVBoxLayout* m_pHintGroupLayout = nullptr;
  QMessageBox* m_pMessageBox = nullptr;
  int m_DefaultPackageIndex = -1;
  std::shared_ptr<shared::TDownloadPool> m_pDownloadPool;
  std::shared_ptr<TCloudflareCdnTrace> m_pCdnTrace;
  // While the trace loads: the package of the message to repeat, and the
  // connection that repeats it.
  QString m_PendingDownloadFailure;
  QMetaObject::Connection m_TraceConnection;
};

} // namespace orvale::launcher
