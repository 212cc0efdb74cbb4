// SPDX-License-Identifier: Apache-2.0
#include "ui/ShellCtrls.h"

#include <QCollator>
#include <QDir>
#include <QFile>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QHeaderView>
#include <QLocale>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QMutex>
#include <QStandardPaths>
#include <QTextStream>
#include <QThreadPool>
#include <QApplication>
#include <algorithm>
#include <map>
#include <mutex>

#include "base/Translation.h"
#include "restore/RestoreSession.h"
#include "transfer/ZipRead.h"
#include "ui/WinUtils.h"

namespace qv {

namespace {

QString D(const char* msgid) { return QStr(TrDialogs(msgid)); }

bool IsZipName(const QString& name) { return name.endsWith(".zip", Qt::CaseInsensitive); }

QDateTime DosToDateTime(uint32_t dos) {
  const int date = int(dos >> 16), time = int(dos & 0xFFFF);
  const QDate d(1980 + (date >> 9), (date >> 5) & 15, date & 31);
  const QTime t((time >> 11) & 31, (time >> 5) & 63, (time & 31) * 2);
  return d.isValid() && t.isValid() ? QDateTime(d, t) : QDateTime();
}

QString JoinPath(const QString& dir, const QString& name) {
  return dir.endsWith('/') ? dir + name : dir + '/' + name;
}

QString StripTrailingDelimiter(QString path) {
  while (path.size() > 1 && path.endsWith('/')) path.chop(1);
  return path;
}

bool NameLess(const TShellFolder& a, const TShellFolder& b) {
  static const QCollator collator = [] {
    QCollator c;
    c.setCaseSensitivity(Qt::CaseInsensitive);
    c.setNumericMode(true);
    return c;
  }();
  const int r = collator.compare(a.Name, b.Name);
  return r != 0 ? r < 0 : a.Name < b.Name;
}

TShellFolder FileSystemObject(const QFileInfo& fi) {
  TShellFolder f;
  f.Name = fi.fileName().isEmpty() ? fi.filePath() : fi.fileName();
  f.PathName = fi.filePath();
  f.Properties = fpFileSystem;
  if (fi.isSymLink()) f.Properties |= fpIsLink;
  if (!fi.isWritable()) f.Properties |= fpReadOnly;
  if (fi.isDir()) {
    f.Kind = TShellKind::skFolder;
    f.Properties |= fpFileSystemAncestor;
  } else if (IsZipName(fi.fileName())) {
    f.Kind = TShellKind::skZipArchive;
    f.Size = fi.size();
  } else {
    f.Kind = TShellKind::skFile;
    f.Size = fi.size();
  }
  f.Modified = fi.lastModified();
  return f;
}

TShellFolder VirtualFolder(TShellKind kind, const QString& name) {
  TShellFolder f;
  f.Kind = kind;
  f.Name = name;
  return f;
}

// Splits a path where a restore does: at its first component with the extension "zip" that is a file.
bool SplitArchivePath(const QString& path, QString& archive, QString& inner) {
  std::string head = path.toStdString(), rest;
  if (!SplitZipPath(head, rest)) return false;
  archive = QString::fromStdString(head);
  inner = QString::fromStdString(rest);
  return true;
}

}  // namespace

std::shared_ptr<const TZipListing> TZipListingCache::Cached(const QString& archive) const {
  const QFileInfo fi(archive);
  std::lock_guard lock(FMutex);
  auto it = FListings.find(archive);
  if (it != FListings.end() && it->second.Size == fi.size() && it->second.Time == fi.lastModified())
    return it->second.Listing;
  return nullptr;
}

void TZipListingCache::ReadLater(const QString& archive, QObject* context, std::function<void()> done) {
  auto& waiters = FWaiters[archive];
  waiters.emplace_back(context, std::move(done));
  if (waiters.size() > 1) return;  // already being read
  QThreadPool::globalInstance()->start([self = shared_from_this(), archive] {
    self->Read(archive);
    QMetaObject::invokeMethod(qApp, [self, archive] { self->CallWaiters(archive); }, Qt::QueuedConnection);
  });
}

void TZipListingCache::CallWaiters(const QString& archive) {
  auto calls = std::move(FWaiters[archive]);
  FWaiters.erase(archive);
  for (auto& [context, call] : calls)
    if (context) call();
}

static std::shared_ptr<const TZipListing> ReadZipDirectory(const QString& archive) {
  auto listing = std::make_shared<TZipListing>();
  try {
    TZipRead zip(archive.toStdString());
    zip.ReadDirectory();
    for (const TZipListItem& item : zip.Directory()) {
      QString name = QString::fromUtf8(item.Name.data(), static_cast<qsizetype>(item.Name.size()));
      while (name.endsWith('/')) name.chop(1);
      while (name.startsWith('/')) name.remove(0, 1);
      if (name.isEmpty()) continue;
      listing->Entries.push_back({name, item.Header.IsDir, item.Header.USize, DosToDateTime(item.Header.TimeStamp)});
    }
    listing->Valid = true;
  } catch (const std::exception&) {
    // An unreadable archive shows as an empty folder.
    listing->Entries.clear();
  }
  return listing;
}

std::shared_ptr<const TZipListing> TZipListingCache::Read(const QString& archive) {
  if (auto cached = Cached(archive)) return cached;
  const QFileInfo fi(archive);
  auto listing = ReadZipDirectory(archive);
  std::lock_guard lock(FMutex);
  if (FListings.size() > 64) FListings.clear();
  FListings[archive] = {fi.size(), fi.lastModified(), listing};
  return listing;
}

static std::vector<TShellFolder> ListArchiveFolder(const QString& archive, const QString& inner,
                                                   unsigned objectTypes, TZipListingCache& zips) {
  std::vector<TShellFolder> out;
  const auto listing = zips.Read(archive);
  const QString prefix = inner.isEmpty() ? QString() : inner + '/';
  const QString base = inner.isEmpty() ? archive : archive + '/' + inner;
  std::map<QString, TShellFolder> folders, files;
  for (const auto& e : listing->Entries) {
    if (!e.Name.startsWith(prefix)) continue;
    const QString rest = e.Name.mid(prefix.size());
    const int slash = rest.indexOf('/');
    const bool folder = slash >= 0 || e.IsDir;
    const QString name = slash >= 0 ? rest.left(slash) : rest;
    if (name.isEmpty() || name == "." || name == "..") continue;
    if (!(objectTypes & otHidden) && name.startsWith('.')) continue;
    TShellFolder f;
    f.Name = name;
    f.PathName = base + '/' + name;
    if (folder) {
      f.Kind = TShellKind::skZipFolder;
      if (slash < 0) f.Modified = e.Modified;
      folders.try_emplace(name, f);
    } else {
      f.Kind = TShellKind::skZipFile;
      f.Size = e.Size;
      f.Modified = e.Modified;
      files.try_emplace(name, f);
    }
  }
  if (objectTypes & otFolders)
    for (auto& [n, f] : folders) out.push_back(f);
  if (objectTypes & otNonFolders)
    for (auto& [n, f] : files) if (!folders.count(n)) out.push_back(f);
  std::sort(out.begin(), out.end(), NameLess);
  return out;
}

QStringList NetworkMounts() {
  QStringList out;
  QFile mounts("/proc/self/mounts");
  if (!mounts.open(QIODevice::ReadOnly)) return out;
  static const QStringList netTypes = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "fuse.sshfs",
                                       "davfs", "fuse.davfs2", "9p", "afs", "ceph", "glusterfs"};
  QTextStream in(&mounts);
  for (QString line = in.readLine(); !line.isNull(); line = in.readLine()) {
    const QStringList f = line.split(' ');
    if (f.size() < 3 || !netTypes.contains(f[2])) continue;
    QString dir = f[1];
    dir.replace("\\040", " ");
    out << dir;
  }
  return out;
}

static QString DocumentsFolder() {
  const QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return docs.isEmpty() ? QDir::homePath() : docs;
}

TShellFolder MakeRootFolder(const QString& root, TZipListingCache& zips) {
  if (root == rfDesktop) {
    QString desk = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    if (desk.isEmpty() || !QFileInfo(desk).isDir()) desk = QDir::homePath();
    TShellFolder f = FileSystemObject(QFileInfo(desk));
    f.Name = D("Desktop");
    f.Kind = TShellKind::skDesktop;
    return f;
  }
  if (root == rfMyComputer) return VirtualFolder(TShellKind::skComputer, D("Computer"));
  if (root == rfNetwork) return VirtualFolder(TShellKind::skNetwork, D("Network"));
  if (root == rfPersonal) return FileSystemObject(QFileInfo(DocumentsFolder()));
  return ShellFolderForPath(root, zips);
}

// Children of the virtual folders: what the desktop of this platform offers.
namespace {
void AddFolderAt(std::vector<TShellFolder>& out, const QString& path, const QString& name = {}) {
  if (!QFileInfo(path).isDir()) return;
  TShellFolder f = FileSystemObject(QFileInfo(path));
  if (!name.isEmpty()) f.Name = name;
  out.push_back(f);
}

std::vector<TShellFolder> ComputerChildren() {
  std::vector<TShellFolder> out;
  AddFolderAt(out, "/", D("File System"));
  AddFolderAt(out, QDir::homePath());
  const QStringList mediaRoots = {"/media", "/mnt", "/run/media/" + qEnvironmentVariable("USER")};
  for (const QString& m : mediaRoots)
    for (const QFileInfo& fi : QDir(m).entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
      AddFolderAt(out, fi.filePath());
  return out;
}

std::vector<TShellFolder> NetworkChildren() {
  std::vector<TShellFolder> out;
  for (const QString& m : NetworkMounts()) AddFolderAt(out, m);
  return out;
}

// Home, documents, computer and network, then the desktop folder's own folders.
std::vector<TShellFolder> DesktopChildren(const TShellFolder& desktop, unsigned objectTypes, TZipListingCache& zips) {
  std::vector<TShellFolder> own;
  if (!desktop.PathName.isEmpty()) {
    TShellFolder fs = desktop;
    fs.Kind = TShellKind::skFolder;
    own = ListFolder(fs, objectTypes, zips);
  }
  std::vector<TShellFolder> out;
  AddFolderAt(out, QDir::homePath());
  if (DocumentsFolder() != QDir::homePath()) AddFolderAt(out, DocumentsFolder(), D("My Documents"));
  out.push_back(VirtualFolder(TShellKind::skComputer, D("Computer")));
  out.push_back(VirtualFolder(TShellKind::skNetwork, D("Network")));
  out.insert(out.end(), own.begin(), own.end());
  return out;
}

std::vector<TShellFolder> ListFileSystemFolder(const QString& path, unsigned objectTypes) {
  QDir::Filters filters = QDir::NoDotAndDotDot | QDir::System;
  if (objectTypes & otFolders) filters |= QDir::Dirs;
  filters |= QDir::Files;  // zip archives are folders too
  if (objectTypes & otHidden) filters |= QDir::Hidden;
  std::vector<TShellFolder> out;
  for (const QFileInfo& fi : QDir(path).entryInfoList(filters, QDir::NoSort)) {
    TShellFolder f = FileSystemObject(fi);
    if (fi.isDir()) {
      if (!(objectTypes & otFolders)) continue;
    } else if (f.Kind == TShellKind::skZipArchive) {
      // An archive is a folder in the tree and a file in the list.
      if (!(objectTypes & otFolders)) f.Kind = TShellKind::skFile;
      if (!(objectTypes & otFolders) && !(objectTypes & otNonFolders)) continue;
    } else if (!(objectTypes & otNonFolders)) {
      continue;
    }
    out.push_back(f);
  }
  std::sort(out.begin(), out.end(), NameLess);
  return out;
}
}  // namespace

std::vector<TShellFolder> ListFolder(const TShellFolder& folder, unsigned objectTypes, TZipListingCache& zips) {
  const bool folders = objectTypes & otFolders;  // the virtual folders hold folders only
  switch (folder.Kind) {
    case TShellKind::skDesktop:
      return folders ? DesktopChildren(folder, objectTypes, zips) : std::vector<TShellFolder>();
    case TShellKind::skComputer: return folders ? ComputerChildren() : std::vector<TShellFolder>();
    case TShellKind::skNetwork: return folders ? NetworkChildren() : std::vector<TShellFolder>();
    case TShellKind::skFolder: return ListFileSystemFolder(folder.PathName, objectTypes);
    case TShellKind::skZipArchive: return ListArchiveFolder(folder.PathName, QString(), objectTypes, zips);
    case TShellKind::skZipFolder: {
      QString archive, inner;
      if (!SplitArchivePath(folder.PathName, archive, inner)) return {};
      return ListArchiveFolder(archive, inner, objectTypes, zips);
    }
    default: return {};
  }
}

TShellFolder ShellFolderForPath(const QString& rawPath, TZipListingCache& zips) {
  const QString path = StripTrailingDelimiter(QDir::cleanPath(rawPath));
  const QFileInfo fi(path);
  if (fi.exists()) return FileSystemObject(fi);
  QString archive, inner;
  if (SplitArchivePath(path, archive, inner)) {
    const auto listing = zips.Read(archive);
    for (const auto& e : listing->Entries) {
      if (e.Name.compare(inner, Qt::CaseSensitive) == 0 && !e.IsDir) {
        TShellFolder f;
        f.Kind = TShellKind::skZipFile;
        f.Name = inner.section('/', -1);
        f.PathName = path;
        f.Size = e.Size;
        f.Modified = e.Modified;
        return f;
      }
      if (e.Name == inner || e.Name.startsWith(inner + '/')) {
        TShellFolder f;
        f.Kind = TShellKind::skZipFolder;
        f.Name = inner.section('/', -1);
        f.PathName = path;
        return f;
      }
    }
  }
  return {};
}

// ---------------------------------------------------------------- tree model

TShellTreeModel::TShellTreeModel(QObject* parent)
    : QAbstractItemModel(parent), FInvisible(std::make_unique<TNode>()) {
  FInvisible->Fetched = true;
}

TShellTreeModel::~TShellTreeModel() = default;

void TShellTreeModel::SetRoot(const QString& root) {
  beginResetModel();
  FRoot = root;
  FInvisible->Children.clear();
  auto top = std::make_unique<TNode>();
  top->Folder = MakeRootFolder(root, *FZipCache);
  top->Parent = FInvisible.get();
  if (top->Folder.Name.isEmpty()) top->Folder.Name = root;
  FInvisible->Children.push_back(std::move(top));
  endResetModel();
}

void TShellTreeModel::SetObjectTypes(unsigned types) {
  if (types == FObjectTypes) return;
  FObjectTypes = types;
  SetRoot(FRoot);
}

QModelIndex TShellTreeModel::TopIndex() const {
  return FInvisible->Children.empty() ? QModelIndex() : createIndex(0, 0, FInvisible->Children[0].get());
}

TShellTreeModel::TNode* TShellTreeModel::NodeAt(const QModelIndex& index) const {
  return index.isValid() ? static_cast<TNode*>(index.internalPointer()) : FInvisible.get();
}

QModelIndex TShellTreeModel::IndexOf(const TNode* node) const {
  if (!node || node == FInvisible.get() || !node->Parent) return {};
  const auto& siblings = node->Parent->Children;
  for (size_t i = 0; i < siblings.size(); ++i)
    if (siblings[i].get() == node) return createIndex(int(i), 0, const_cast<TNode*>(node));
  return {};
}

std::vector<std::unique_ptr<TShellTreeModel::TNode>> TShellTreeModel::ReadChildren(TNode* node) const {
  std::vector<std::unique_ptr<TNode>> out;
  for (TShellFolder& f : ListFolder(node->Folder, (FObjectTypes | otFolders) & ~otNonFolders, *FZipCache)) {
    if (!f.IsFolder()) continue;
    auto child = std::make_unique<TNode>();
    child->Folder = std::move(f);
    child->Parent = node;
    out.push_back(std::move(child));
  }
  return out;
}

QModelIndex TShellTreeModel::index(int row, int column, const QModelIndex& parent) const {
  TNode* node = NodeAt(parent);
  if (column != 0 || row < 0 || size_t(row) >= node->Children.size()) return {};
  return createIndex(row, column, node->Children[size_t(row)].get());
}

QModelIndex TShellTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return {};
  return IndexOf(NodeAt(child)->Parent);
}

int TShellTreeModel::rowCount(const QModelIndex& parent) const { return int(NodeAt(parent)->Children.size()); }

int TShellTreeModel::columnCount(const QModelIndex&) const { return 1; }

QVariant TShellTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return {};
  const TShellFolder& f = NodeAt(index)->Folder;
  static QFileIconProvider icons;
  switch (role) {
    case Qt::DisplayRole: return f.Name;
    case Qt::ToolTipRole: return f.PathName;
    case Qt::DecorationRole:
      switch (f.Kind) {
        case TShellKind::skNone:
        case TShellKind::skComputer: return icons.icon(QFileIconProvider::Computer);
        case TShellKind::skNetwork: return icons.icon(QFileIconProvider::Network);
        case TShellKind::skDesktop: return icons.icon(QFileIconProvider::Desktop);
        case TShellKind::skZipFolder: return icons.icon(QFileIconProvider::Folder);
        default: return icons.icon(QFileInfo(f.PathName));
      }
    default: return {};
  }
}

bool TShellTreeModel::hasChildren(const QModelIndex& parent) const {
  const TNode* node = NodeAt(parent);
  return node->Fetched ? !node->Children.empty() : true;
}

bool TShellTreeModel::canFetchMore(const QModelIndex& parent) const { return !NodeAt(parent)->Fetched; }

QString ArchiveOf(const TShellFolder& folder) {
  if (folder.Kind == TShellKind::skZipArchive) return folder.PathName;
  QString archive, inner;
  if (folder.Kind == TShellKind::skZipFolder && SplitArchivePath(folder.PathName, archive, inner)) return archive;
  return {};
}

void TShellTreeModel::fetchMore(const QModelIndex& parent) {
  TNode* node = NodeAt(parent);
  if (node->Fetched || node->Loading) return;
  const QString archive = ArchiveOf(node->Folder);
  if (!archive.isEmpty() && !FZipCache->Cached(archive)) {
    // A large archive's directory is read off the window thread; the node fills in after.
    node->Loading = true;
    const QString path = node->Folder.PathName;
    FZipCache->ReadLater(archive, this, [this, path] {
      for (const QModelIndex& i : LoadedNodesFor(path)) {
        NodeAt(i)->Loading = false;
        fetchMore(i);
      }
    });
    return;
  }
  FetchNow(parent);
}

void TShellTreeModel::FetchNow(const QModelIndex& parent) {
  TNode* node = NodeAt(parent);
  if (node->Fetched) return;
  node->Fetched = true;
  node->Loading = false;
  auto children = ReadChildren(node);
  if (children.empty()) {
    // The expander goes away once we know there is nothing below.
    emit dataChanged(parent, parent);
    return;
  }
  beginInsertRows(parent, 0, int(children.size()) - 1);
  node->Children = std::move(children);
  endInsertRows();
}

void TShellTreeModel::RefreshNode(const QModelIndex& index) {
  TNode* node = NodeAt(index);
  if (!node->Fetched) return;
  auto fresh = ReadChildren(node);
  // Merge by name: nodes that stay keep their children and expansion.
  auto& kids = node->Children;
  for (int i = int(kids.size()) - 1; i >= 0; --i) {
    const bool stays = std::any_of(fresh.begin(), fresh.end(), [&](const auto& n) {
      return n->Folder.PathName == kids[size_t(i)]->Folder.PathName && n->Folder.Name == kids[size_t(i)]->Folder.Name;
    });
    if (stays) continue;
    beginRemoveRows(index, i, i);
    kids.erase(kids.begin() + i);
    endRemoveRows();
  }
  for (auto& n : fresh) {
    const bool known = std::any_of(kids.begin(), kids.end(), [&](const auto& k) {
      return k->Folder.PathName == n->Folder.PathName && k->Folder.Name == n->Folder.Name;
    });
    if (known) continue;
    size_t pos = 0;
    while (pos < kids.size() && NameLess(kids[pos]->Folder, n->Folder)) ++pos;
    beginInsertRows(index, int(pos), int(pos));
    kids.insert(kids.begin() + long(pos), std::move(n));
    endInsertRows();
  }
}

void TShellTreeModel::CollectLoaded(TNode* node, const QString& path, QModelIndexList& out) const {
  for (auto& child : node->Children) {
    if (child->Folder.PathName == path) out << IndexOf(child.get());
    if (child->Fetched) CollectLoaded(child.get(), path, out);
  }
}

QModelIndexList TShellTreeModel::LoadedNodesFor(const QString& path) const {
  QModelIndexList out;
  CollectLoaded(FInvisible.get(), path, out);
  return out;
}

QModelIndex TShellTreeModel::FindPath(const QString& rawPath) {
  if (rawPath.isEmpty()) return {};
  const QString path = StripTrailingDelimiter(QDir::cleanPath(rawPath));
  if (!path.startsWith('/')) return {};
  QModelIndex current = TopIndex();
  if (!current.isValid()) return {};
  // Descend while some loaded or readable child is the path or one of its ancestors; the
  // longest match wins among siblings (home before the file-system root).
  for (int guard = 0; guard < 4096; ++guard) {
    TNode* node = NodeAt(current);
    if (node->Folder.PathName == path) return current;
    if (canFetchMore(current)) FetchNow(current);  // a path set in code is there when this returns
    int best = -1;
    qsizetype bestLength = -1;
    for (size_t i = 0; i < node->Children.size(); ++i) {
      const QString& p = node->Children[i]->Folder.PathName;
      const bool prefix = !p.isEmpty() && (p == path || path.startsWith(p == "/" ? p : p + '/'));
      if (prefix && p.size() > bestLength) {
        best = int(i);
        bestLength = p.size();
      } else if (bestLength < 0 && node->Children[i]->Folder.Kind == TShellKind::skComputer) {
        // Look inside Computer for paths the desktop does not hold itself.
        best = int(i), bestLength = 0;
      }
    }
    if (best < 0) return {};
    current = index(best, 0, current);
  }
  return {};
}

// ---------------------------------------------------------------- tree view

TShellTreeView::TShellTreeView(QWidget* parent) : QTreeView(parent), FModel(new TShellTreeModel(this)) {
  setModel(FModel);
  setHeaderHidden(true);
  setUniformRowHeights(true);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  FModel->SetRoot(rfDesktop);
  ApplyRootIndex();
  connect(selectionModel(), &QItemSelectionModel::currentChanged, this, [this](const QModelIndex& cur) {
    if (FList) {
      if (const TShellFolder* f = SelectedFolder()) FList->SetFolder(*f);
    }
    UpdateWatch();
    Q_UNUSED(cur);
    emit SelectionChanged();
  });
  connect(this, &QTreeView::expanded, this, [this] { UpdateWatch(); });
  connect(this, &QTreeView::collapsed, this, [this] { UpdateWatch(); });
  connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, &TShellTreeView::FolderChanged);
}

void TShellTreeView::ApplyRootIndex() {
  setRootIndex(FShowRoot ? QModelIndex() : FModel->TopIndex());
  if (!FShowRoot) expand(FModel->TopIndex());
  else expand(FModel->TopIndex());
}

void TShellTreeView::SetRoot(const QString& root) {
  FModel->SetRoot(root);
  ApplyRootIndex();
  const QModelIndex top = FModel->TopIndex();
  if (FShowRoot) setCurrentIndex(top);
  UpdateWatch();
}

void TShellTreeView::SetShowRoot(bool on) {
  FShowRoot = on;
  ApplyRootIndex();
}

bool TShellTreeView::SetPath(const QString& path) {
  const QModelIndex found = FModel->FindPath(path);
  if (!found.isValid()) return false;
  for (QModelIndex p = found.parent(); p.isValid(); p = p.parent()) expand(p);
  setCurrentIndex(found);
  return true;
}

QModelIndex TShellTreeView::SelectedIndex() const { return currentIndex(); }

QString TShellTreeView::Path() const {
  const TShellFolder* f = SelectedFolder();
  return f ? f->PathName : QString();
}

const TShellFolder* TShellTreeView::SelectedFolder() const {
  const QModelIndex cur = currentIndex();
  return cur.isValid() ? &FModel->NodeAt(cur)->Folder : nullptr;
}

int TShellTreeView::Level(const QModelIndex& index) const {
  int level = -1;
  for (QModelIndex p = index; p.isValid(); p = p.parent()) ++level;
  return level;
}

void TShellTreeView::Refresh(const QModelIndex& index) {
  if (index.isValid()) FModel->RefreshNode(index);
  if (FList && SelectedFolder()) FList->Model()->Reload();
}

void TShellTreeView::SetObjectTypes(unsigned types) {
  const QString path = Path();
  FModel->SetObjectTypes(types);
  ApplyRootIndex();
  if (!path.isEmpty()) SetPath(path);
}

void TShellTreeView::SetAutoRefresh(bool on) {
  FAutoRefresh = on;
  UpdateWatch();
}

void TShellTreeView::SetListView(TShellListView* list) {
  FList = list;
  if (FList) FList->Model()->SetZipCache(FModel->ZipCache());
  if (FList && SelectedFolder()) FList->SetFolder(*SelectedFolder());
}

void TShellTreeView::UpdateWatch() {
  // Watched: the top folder, the selected one and every expanded one (file-system folders only).
  QStringList wanted;
  if (FAutoRefresh) {
    auto addNode = [&](const QModelIndex& idx) {
      const TShellFolder& f = FModel->NodeAt(idx)->Folder;
      if (!f.PathName.isEmpty() && (f.Kind == TShellKind::skFolder || f.Kind == TShellKind::skDesktop) &&
          QFileInfo(f.PathName).isDir() && !wanted.contains(f.PathName))
        wanted << f.PathName;
    };
    std::function<void(const QModelIndex&)> walk = [&](const QModelIndex& idx) {
      for (int r = 0; r < FModel->rowCount(idx); ++r) {
        const QModelIndex child = FModel->index(r, 0, idx);
        if (isExpanded(child)) {
          addNode(child);
          walk(child);
        }
      }
    };
    if (FModel->TopIndex().isValid()) addNode(FModel->TopIndex());
    walk(FModel->TopIndex());
    if (currentIndex().isValid()) addNode(currentIndex());
  }
  const QStringList current = FWatcher.directories();
  QStringList drop, add;
  for (const QString& d : current) if (!wanted.contains(d)) drop << d;
  for (const QString& d : wanted) if (!current.contains(d)) add << d;
  if (!drop.isEmpty()) FWatcher.removePaths(drop);
  if (!add.isEmpty()) FWatcher.addPaths(add);
}

void TShellTreeView::FolderChanged(const QString& path) {
  for (const QModelIndex& idx : FModel->LoadedNodesFor(path)) FModel->RefreshNode(idx);
  if (FModel->TopIndex().isValid() && FModel->NodeAt(FModel->TopIndex())->Folder.PathName == path)
    FModel->RefreshNode(FModel->TopIndex());
  if (!QFileInfo(path).isDir()) {
    // The selected folder went away: fall back to the nearest folder that still exists.
    QString up = path;
    while (!up.isEmpty() && up != "/" && !QFileInfo(up).isDir()) up = QFileInfo(up).path();
    if (Path().startsWith(path)) SetPath(up);
  }
  UpdateWatch();
}

void TShellTreeView::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::RightButton) {
    const QModelIndex idx = indexAt(event->pos());
    if (idx.isValid()) setCurrentIndex(idx);
  }
  QTreeView::mousePressEvent(event);
}

// ---------------------------------------------------------------- list model

TShellListModel::TShellListModel(QObject* parent) : QAbstractTableModel(parent) {}

void TShellListModel::SetFolder(const TShellFolder& folder, unsigned objectTypes) {
  FFolder = folder;
  FObjectTypes = objectTypes;
  const QString archive = ArchiveOf(folder);
  if (!archive.isEmpty() && !FZipCache->Cached(archive)) {
    // Empty until the archive's directory has been read off the window thread.
    beginResetModel();
    FItems.clear();
    endResetModel();
    const QString path = folder.PathName;
    FZipCache->ReadLater(archive, this, [this, path] {
      if (FFolder.PathName == path) Reload();
    });
    return;
  }
  Reload();
}

void TShellListModel::Reload() {
  beginResetModel();
  FItems.clear();
  TShellFolder source = FFolder;
  if (source.Kind == TShellKind::skDesktop) source.Kind = TShellKind::skFolder;  // the desktop's own files
  for (TShellFolder& f : ListFolder(source, FObjectTypes & ~unsigned(otFolders), *FZipCache))
    FItems.push_back(std::move(f));
  endResetModel();
  sort(FSortColumn, FSortOrder);
}

int TShellListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : int(FItems.size()); }
int TShellListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : colCount; }

static QString TypeName(const TShellFolder& f) {
  static QMimeDatabase mimes;
  const QString comment = mimes.mimeTypeForFile(f.Name, QMimeDatabase::MatchExtension).comment();
  return comment.isEmpty() ? D("File") : comment;
}

QVariant TShellListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || size_t(index.row()) >= FItems.size()) return {};
  const TShellFolder& f = FItems[size_t(index.row())];
  static QFileIconProvider icons;
  if (role == Qt::DisplayRole || role == Qt::EditRole) {
    switch (index.column()) {
      case colName: return f.Name;
      case colSize: return QLocale().formattedDataSize(f.Size, 1, QLocale::DataSizeTraditionalFormat);
      case colType: return TypeName(f);
      case colModified: return QLocale().toString(f.Modified, QLocale::ShortFormat);
    }
  } else if (role == Qt::DecorationRole && index.column() == colName) {
    return f.Kind == TShellKind::skFile ? icons.icon(QFileInfo(f.PathName)) : icons.icon(QFileIconProvider::File);
  } else if (role == Qt::TextAlignmentRole && index.column() == colSize) {
    return int(Qt::AlignRight | Qt::AlignVCenter);
  } else if (role == Qt::ToolTipRole) {
    return f.PathName;
  }
  return {};
}

QVariant TShellListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal) return {};
  if (role == Qt::TextAlignmentRole && section == colSize) return int(Qt::AlignRight | Qt::AlignVCenter);
  if (role != Qt::DisplayRole) return {};
  switch (section) {
    case colName: return D("Name");
    case colSize: return D("Size");
    case colType: return D("Type");
    case colModified: return D("Modified");
  }
  return {};
}

Qt::ItemFlags TShellListModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags f = QAbstractTableModel::flags(index);
  // Names of plain files may be edited in place; entries of an archive may not.
  if (FEditable && index.isValid() && index.column() == colName &&
      FItems[size_t(index.row())].Kind == TShellKind::skFile)
    f |= Qt::ItemIsEditable;
  return f;
}

bool TShellListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!FEditable || role != Qt::EditRole || !index.isValid() || index.column() != colName) return false;
  TShellFolder& f = FItems[size_t(index.row())];
  const QString name = value.toString().trimmed();
  if (name.isEmpty() || name.contains('/') || name == f.Name) return false;
  const QString target = JoinPath(QFileInfo(f.PathName).path(), name);
  if (QFileInfo::exists(target) || !QFile::rename(f.PathName, target)) return false;
  f.Name = name;
  f.PathName = target;
  emit dataChanged(index, index);
  return true;
}

void TShellListModel::sort(int column, Qt::SortOrder order) {
  FSortColumn = column;
  FSortOrder = order;
  emit layoutAboutToBeChanged();
  auto less = [column](const TShellFolder& a, const TShellFolder& b) {
    switch (column) {
      case colSize: if (a.Size != b.Size) return a.Size < b.Size; break;
      case colType: { const int c = TypeName(a).compare(TypeName(b), Qt::CaseInsensitive); if (c) return c < 0; break; }
      case colModified: if (a.Modified != b.Modified) return a.Modified < b.Modified; break;
    }
    return NameLess(a, b);
  };
  if (order == Qt::AscendingOrder) std::stable_sort(FItems.begin(), FItems.end(), less);
  else std::stable_sort(FItems.begin(), FItems.end(), [&](const auto& a, const auto& b) { return less(b, a); });
  emit layoutChanged();
}

// ---------------------------------------------------------------- list view

TShellListView::TShellListView(QWidget* parent) : QTreeView(parent), FModel(new TShellListModel(this)) {
  setModel(FModel);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSortingEnabled(true);
  sortByColumn(TShellListModel::colName, Qt::AscendingOrder);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
  SetColWidths({});
  connect(&FWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
    QStringList names;
    for (const QModelIndex& i : selectionModel()->selectedRows()) names << FModel->Items()[size_t(i.row())].Name;
    FModel->Reload();
    SelectNames(names);
  });
}

void TShellListView::SetFolder(const TShellFolder& folder) {
  FModel->SetFolder(folder, otNonFolders | otHidden);
  if (!FWatcher.directories().isEmpty()) FWatcher.removePaths(FWatcher.directories());
  if (folder.Kind == TShellKind::skFolder && QFileInfo(folder.PathName).isDir()) FWatcher.addPath(folder.PathName);
}

void TShellListView::SetEditable(bool on) {
  FModel->SetEditable(on);
  setEditTriggers(on ? QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked
                     : QAbstractItemView::NoEditTriggers);
}

void TShellListView::SetObjectTypes(unsigned types) { FModel->SetFolder(FModel->Folder(), types); }

bool TShellListView::IsSelected(int index) const {
  return selectionModel()->isRowSelected(index, QModelIndex());
}

int TShellListView::SelectedCount() const { return int(selectionModel()->selectedRows().size()); }

void TShellListView::SelectNames(const QStringList& names) {
  selectionModel()->clearSelection();
  for (int i = 0; i < Count(); ++i)
    if (names.contains(Item(i).Name))
      selectionModel()->select(FModel->index(i, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void TShellListView::SetColWidths(const std::vector<int>& widths) {
  static const int defaults[TShellListModel::colCount] = {25, 10, 10, 14};
  const int unit = fontMetrics().horizontalAdvance('X');
  for (int c = 0; c < TShellListModel::colCount; ++c) {
    const int w = size_t(c) < widths.size() && widths[size_t(c)] > 0 ? widths[size_t(c)] : defaults[c];
    setColumnWidth(c, w * unit);
  }
}

}  // namespace qv
