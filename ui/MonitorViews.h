#pragma once
// The monitor views: the main window's lists get their row models and a delegate that paints each
// row on one line, and a batch of the relay's changes (a MonitorUpdate) reaches the lists, the
// header and byte boxes, the status text, the Kick entry and the window's colour.
class MainForm;
class QObject;
struct MonitorUpdate;

namespace agwmonitor {

class RowsModel;
class CallsModel;

} // namespace agwmonitor

class MonitorViews {
public:
    // Fills form's lists; the models belong to owner.
    MonitorViews(MainForm& form, QObject* owner);
    MonitorViews(const MonitorViews&) = delete;
    MonitorViews& operator=(const MonitorViews&) = delete;

    // Shows one batch of changes.
    void apply(const MonitorUpdate& u);

private:
    MainForm& m_form;
    agwmonitor::RowsModel* m_trafficRows = nullptr;
    agwmonitor::RowsModel* m_routeRows = nullptr;
    agwmonitor::CallsModel* m_callRows = nullptr;
    agwmonitor::RowsModel* m_sentRows = nullptr;
};
