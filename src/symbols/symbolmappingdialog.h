#pragma once

#include <QDialog>
#include <QMap>
#include <QString>

class QPushButton;
class QStandardItemModel;
class QTableView;

// Edits the user's old -> new symbol renaming. The table rows are the only state:
// the store is read into them and written from them.
class SymbolMappingDialog : public QDialog
{
    Q_OBJECT
public:
    explicit SymbolMappingDialog(QWidget *parent = nullptr);
    ~SymbolMappingDialog() override;

    QTableView *tableView() const { return m_view; }
    QStandardItemModel *model() const { return m_model; }

signals:
    void mappingsChanged();

public slots:
    void saveClicked();
    void applyClicked();
    bool loadFromFile(QString path);
    bool saveToFile(QString path);
    QMap<QString, QString> oldToNewMap();
    QMap<QString, QString> newToOldMap();
    bool loadFromRegistry();
    bool saveToRegistry();

private slots:
    void addRow();
    void removeSelectedRows();
    void loadDefaultPath();
    void adjustOldSymbolColumnWidth();

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    QString cellText(int row, int column) const;

    QTableView *m_view = nullptr;
    QStandardItemModel *m_model = nullptr;
    QPushButton *m_addButton = nullptr;
    QPushButton *m_removeButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_applyButton = nullptr;
};
