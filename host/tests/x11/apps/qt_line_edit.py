# A Qt 5 line edit that writes its text to argv[1] on every change and its
# X window id to argv[2] once shown.
import os
import sys

from PyQt5.QtWidgets import QApplication, QLineEdit

out_path, id_path = sys.argv[1], sys.argv[2]
app = QApplication(sys.argv[:1])
edit = QLineEdit()
edit.resize(600, 60)
edit.textChanged.connect(lambda text: open(out_path, "w", encoding="utf-8").write(text))
edit.show()
with open(id_path + ".new", "w") as f:
    f.write(str(int(edit.winId())))
os.rename(id_path + ".new", id_path)
app.exec_()
