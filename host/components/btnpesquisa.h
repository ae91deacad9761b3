#pragma once
// The lookup button beside a code edit: it asks its before-search handler to
// fill its data source's dataset, lets the operator choose a row in the lookup
// dialog, positions the dataset on the row chosen and runs its after-search
// handler. With no rows it shows its EmptyError text instead. It takes no focus,
// so pressing it runs no exit check of the edit being typed in; F4 in its
// associate edit presses it from the keyboard.
#include "vcl/buttons.h"
#include "zavhost_export.h"

class TDataSource;

using TBeforePesqEvent = std::function<void(QObject* sender, bool& cancel)>;

class ZAVHOST_EXPORT TBtnPesquisa : public TButtonFlat {
    Q_OBJECT
public:
    explicit TBtnPesquisa(QWidget* parent = nullptr);

    // The edit whose code the button searches; F4 there presses the button.
    void SetAssociate(QWidget* edit);
    QString Title;
    TDataSource* DataSource = nullptr;
    QString EmptyError;
    TBeforePesqEvent OnBeforePesq;
    TNotifyEvent OnAfterPesq;

    // The whole search: before-search, dialog, positioning, after-search.
    void Pesquisar();

private:
    QWidget* m_associate = nullptr;
};
