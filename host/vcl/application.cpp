#include "application.h"
#include <QMdiSubWindow>

namespace {
QPointer<QMdiArea>& area() {
    static QPointer<QMdiArea> a;
    return a;
}
} // namespace

void TApplication::setMdiArea(QMdiArea* a) {
    area() = a;
}
QMdiArea* TApplication::mdiArea() {
    return area();
}

void TApplication::place(TForm* form) {
    QMdiSubWindow* sub = nullptr;
    const QPoint pos = form->property("designPosition").toPoint();
    if (QMdiArea* a = area()) {
        // A single fixed border: the window cannot be resized or maximised.
        sub = a->addSubWindow(form, Qt::SubWindow | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                        Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                                        Qt::MSWindowsFixedSizeDialogHint);
        sub->setObjectName(form->objectName() + QStringLiteral("Window"));
        sub->setOption(QMdiSubWindow::RubberBandResize, false);
        sub->adjustSize();
        sub->setFixedSize(sub->sizeHint());
        sub->move(pos);
    } else {
        form->move(pos);
    }
    form->loaded(sub);
    form->runCreate();
    if (form->VisibleAtCreation) {
        if (sub)
            sub->show();
        else
            form->show();
    }
}
