#pragma once

#include <QMainWindow>

// The application's one fixed-size window.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
};
