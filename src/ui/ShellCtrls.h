// SPDX-License-Identifier: Apache-2.0
#pragma once
// Folder tree and file list over a model of our own: the file system, in which zip archives
// appear as folders whose entries are files and folders (paths run through the archive:
// x/old.zip/docs/a.txt), and the virtual roots Desktop, Computer, Documents and Network.
#include <QAbstractItemModel>
#include <QDateTime>
#include <QFileSystemWatcher>
#include <QPointer>
#include <QTreeView>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace qv {

// Root names of a tree; any other text is a file-system path that becomes the top node.
inline constexpr const char* rfDesktop = "rfDesktop";
inline constexpr const char* rfMyComputer = "rfMyComputer";
inline constexpr const char* rfPersonal = "rfPersonal";
inline constexpr const char* rfNetwork = "rfNetwork";

enum TShellObjectType : unsigned { otFolders = 1, otNonFolders = 2, otHidden = 4 };

enum TShellFolderProperty : unsigned {
  fpCut = 1 << 0, fpIsLink = 1 << 1, fpReadOnly = 1 << 2, fpShared = 1 << 3,
  fpFileSystem = 1 << 4, fpFileSystemAncestor = 1 << 5, fpRemovable = 1 << 6, fpValidate = 1 << 7,
};

// What an object is, whatever its display name says in the current language.
enum class TShellKind {
  skNone,      // nothing: a path that does not lead anywhere
  skDesktop,   // the desktop folder, holding the other virtual folders besides its own
  skComputer,  // the file-system root, home and mounted media
  skNetwork,   // mounted network shares
  skFolder, skZipArchive, skZipFolder, skFile, skZipFile
};

// One shell object: a folder or file of the file system or of a zip archive, or a virtual folder.
struct TShellFolder {
  TShellKind Kind = TShellKind::skNone;
  QString Name;      // display name
  QString PathName;  // parsing path; empty for Computer, Network and nothing
  unsigned Properties = 0;
  qint64 Size = 0;
  QDateTime Modified;
  bool IsFolder() const { return Kind != TShellKind::skFile && Kind != TShellKind::skZipFile; }
  bool InArchive() const { return Kind == TShellKind::skZipFolder || Kind == TShellKind::skZipFile; }
};

// The entries of a zip archive.
struct TZipListing {
  struct TEntry { QString Name; bool IsDir; qint64 Size; QDateTime Modified; };
  std::vector<TEntry> Entries;  // names relative to the archive, "/" as delimiter, no trailing "/"
  bool Valid = false;
};

// Listings by archive, read once per archive state (size and time). A tree shares its cache
// with the list it fills; readers on the thread pool keep it alive until they are done.
class TZipListingCache : public std::enable_shared_from_this<TZipListingCache> {
 public:
  std::shared_ptr<const TZipListing> Read(const QString& archive);
  // The listing when it is cached and current, else nullptr (never reads).
  std::shared_ptr<const TZipListing> Cached(const QString& archive) const;
  // Reads the listing on the thread pool, then runs done on the window thread unless context is gone.
  void ReadLater(const QString& archive, QObject* context, std::function<void()> done);

 private:
  struct TCached { qint64 Size; QDateTime Time; std::shared_ptr<const TZipListing> Listing; };
  using TWaiter = std::pair<QPointer<QObject>, std::function<void()>>;
  mutable std::mutex FMutex;  // FListings is filled from the pool
  std::map<QString, TCached> FListings;
  std::map<QString, std::vector<TWaiter>> FWaiters;  // archives being read; window thread only
  void CallWaiters(const QString& archive);
};
using TZipListingCachePtr = std::shared_ptr<TZipListingCache>;

// The archive a zip archive or zip folder object lies in; empty for anything else.
QString ArchiveOf(const TShellFolder& folder);

// The objects directly inside a folder, filtered by the object types, sorted by name.
std::vector<TShellFolder> ListFolder(const TShellFolder& folder, unsigned objectTypes, TZipListingCache& zips);
// The shell object for a path, through zip archives; Kind skNone when missing.
TShellFolder ShellFolderForPath(const QString& path, TZipListingCache& zips);
TShellFolder MakeRootFolder(const QString& root, TZipListingCache& zips);
// Mounted network shares (nfs, cifs, sshfs, ...), for the Network root.
QStringList NetworkMounts();

class TShellTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  struct TNode {
    TShellFolder Folder;
    TNode* Parent = nullptr;
    std::vector<std::unique_ptr<TNode>> Children;
    bool Fetched = false;
    bool Loading = false;  // an archive's directory is being read for it
  };

  explicit TShellTreeModel(QObject* parent = nullptr);
  ~TShellTreeModel() override;

  void SetRoot(const QString& root);
  QString Root() const { return FRoot; }
  void SetObjectTypes(unsigned types);
  unsigned ObjectTypes() const { return FObjectTypes; }

  QModelIndex TopIndex() const;
  TNode* NodeAt(const QModelIndex& index) const;
  QModelIndex IndexOf(const TNode* node) const;
  // Walks down from the top node to the folder of path; invalid when it cannot be reached.
  QModelIndex FindPath(const QString& path);
  // Re-reads the children of index that have been read before, keeping known nodes.
  void RefreshNode(const QModelIndex& index);
  // Every node already read whose folder is path.
  QModelIndexList LoadedNodesFor(const QString& path) const;

  // The archive listings of this tree, for the list it fills.
  const TZipListingCachePtr& ZipCache() const { return FZipCache; }

  QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool hasChildren(const QModelIndex& parent = {}) const override;
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  // Reads the children at once (paths set in code); fetchMore may read an archive later.
  void FetchNow(const QModelIndex& parent);

 private:
  std::unique_ptr<TNode> FInvisible;
  TZipListingCachePtr FZipCache = std::make_shared<TZipListingCache>();
  QString FRoot;
  unsigned FObjectTypes = otFolders | otHidden;
  std::vector<std::unique_ptr<TNode>> ReadChildren(TNode* node) const;
  void CollectLoaded(TNode* node, const QString& path, QModelIndexList& out) const;
};

class TShellListView;

class TShellTreeView : public QTreeView {
  Q_OBJECT
 public:
  explicit TShellTreeView(QWidget* parent = nullptr);

  void SetRoot(const QString& root);
  QString Root() const { return FModel->Root(); }
  // False when the folder cannot be reached (the tree stays where it is).
  bool SetPath(const QString& path);
  QString Path() const;
  // The selected node's object, or nullptr when nothing is selected.
  const TShellFolder* SelectedFolder() const;
  QModelIndex SelectedIndex() const;
  int Level(const QModelIndex& index) const;
  void Refresh(const QModelIndex& index);
  void SetObjectTypes(unsigned types);
  unsigned ObjectTypes() const { return FModel->ObjectTypes(); }
  void SetAutoRefresh(bool on);
  bool AutoRefresh() const { return FAutoRefresh; }
  // The top node is shown, or its children are the first level.
  void SetShowRoot(bool on);
  void SetListView(TShellListView* list);
  TShellTreeModel* Model() const { return FModel; }
  // Folders under watch by the automatic refresh.
  QStringList WatchedFolders() const { return FWatcher.directories(); }

 signals:
  void SelectionChanged();

 protected:
  void mousePressEvent(QMouseEvent* event) override;

 private:
  TShellTreeModel* FModel;
  QPointer<TShellListView> FList;
  QFileSystemWatcher FWatcher;
  bool FAutoRefresh = false;
  bool FShowRoot = true;
  void ApplyRootIndex();
  void UpdateWatch();
  void FolderChanged(const QString& path);
};

class TShellListModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum TColumn { colName, colSize, colType, colModified, colCount };
  explicit TShellListModel(QObject* parent = nullptr);
  void SetFolder(const TShellFolder& folder, unsigned objectTypes);
  void Reload();
  const TShellFolder& Folder() const { return FFolder; }
  const std::vector<TShellFolder>& Items() const { return FItems; }
  // Names of plain files may be edited in place (renaming the file) only when editable.
  void SetEditable(bool on) { FEditable = on; }
  bool Editable() const { return FEditable; }
  // Shares the archive listings of the tree that selects the folders.
  void SetZipCache(TZipListingCachePtr cache) { FZipCache = std::move(cache); }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  void sort(int column, Qt::SortOrder order) override;

 private:
  TShellFolder FFolder;
  TZipListingCachePtr FZipCache = std::make_shared<TZipListingCache>();
  unsigned FObjectTypes = otNonFolders | otHidden;
  std::vector<TShellFolder> FItems;
  int FSortColumn = colName;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
  bool FEditable = true;
};

class TShellListView : public QTreeView {
  Q_OBJECT
 public:
  explicit TShellListView(QWidget* parent = nullptr);

  void SetFolder(const TShellFolder& folder);
  const TShellFolder& Folder() const { return FModel->Folder(); }
  void SetObjectTypes(unsigned types);
  void SetEditable(bool on);
  int Count() const { return int(FModel->Items().size()); }
  const TShellFolder& Item(int index) const { return FModel->Items()[size_t(index)]; }
  bool IsSelected(int index) const;
  int SelectedCount() const;
  // Selects the items whose names are given (and only them).
  void SelectNames(const QStringList& names);
  // Column widths in units of the width of "X"; 0 or missing gives the default.
  void SetColWidths(const std::vector<int>& widths);
  TShellListModel* Model() const { return FModel; }

 private:
  TShellListModel* FModel;
  QFileSystemWatcher FWatcher;
};

}  // namespace qv
