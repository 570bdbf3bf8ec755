import os
import shutil
from collections import deque

from .guardrail import _valkin_except


def _rehearse(mode, encoding, method, payload):
    fd = os.open(os.devnull, os.O_RDWR)
    try:
        with open(fd, mode, encoding=encoding, closefd=False) as probe:
            getattr(probe, method)(payload)
    finally:
        os.close(fd)


class PathBase:
    """
    路径操作工具类，提供了一系列用于处理文件和目录的静态方法。
    """

    @classmethod
    @_valkin_except("期望规范化 obj 路径")
    def _path_normal(cls, obj, except_result="valkin_except_result"):
        return os.path.normpath(obj)

    @classmethod
    @_valkin_except("期望获取 obj 路径是否存在")
    def _path_exists(cls, obj, except_result=False):
        return os.path.exists(obj)

    @classmethod
    @_valkin_except("期望获取 obj 路径是否为文件")
    def _path_file(cls, obj, except_result=False):
        return os.path.isfile(obj)

    @classmethod
    @_valkin_except("期望获取 obj 路径是否为目录")
    def _path_dir(cls, obj, except_result=False):
        return os.path.isdir(obj)

    @classmethod
    @_valkin_except("期望删除 obj 路径的文件或目录")
    def _path_delete(cls, obj, except_result="valkin_except_result"):
        if cls._path_file(obj):
            os.remove(obj)
        elif cls._path_dir(obj):
            shutil.rmtree(obj)
        return False if cls._path_exists(obj) else True

    @classmethod
    @_valkin_except("期望复制 src_obj 文件或目录到 tar_obj 目标路径")
    def _path_copy(cls, src_obj, tar_obj, except_result="valkin_except_result"):
        if cls._path_exists(tar_obj):
            raise FileExistsError(f"目标路径 {tar_obj} 已存在")
        if cls._path_file(src_obj):
            shutil.copy(src_obj, tar_obj)
        elif cls._path_dir(src_obj):
            shutil.copytree(src_obj, tar_obj)
        return True if cls._path_exists(tar_obj) else False

    @classmethod
    @_valkin_except("期望移动 src_obj 文件或目录到 tar_obj 目标路径")
    def _path_move(cls, src_obj, tar_obj, except_result="valkin_except_result"):
        if cls._path_exists(tar_obj):
            raise FileExistsError(f"目标路径 {tar_obj} 已存在")
        if cls._path_file(src_obj) or cls._path_dir(src_obj):
            shutil.move(src_obj, tar_obj)
        return True if cls._path_exists(tar_obj) else False

    @classmethod
    @_valkin_except("期望获取 obj 文件内容")
    def _path_read(cls, obj, mode="r", encoding=None, except_result="valkin_except_result"):
        with open(obj, mode, encoding=encoding) as f:
            return f.read()

    @classmethod
    @_valkin_except("期望逐行读取 obj 文件内容")
    def _path_readline(cls, obj, mode="r", encoding=None, except_result="valkin_except_result"):
        with open(obj, mode, encoding=encoding) as f:
            while True:
                line = f.readline()
                if not line:
                    break
                yield line.rstrip()

    @classmethod
    @_valkin_except("期望读取 obj 文件所有行")
    def _path_readlines(cls, obj, mode="r", encoding=None, except_result="valkin_except_result"):
        with open(obj, mode, encoding=encoding) as f:
            return f.readlines()

    # A write is rehearsed on the null device first, so that a content the
    # mode or the encoding refuses fails before the file is opened (and, under
    # "w", truncated).
    @classmethod
    @_valkin_except("期望写入内容到 obj 文件")
    def _path_write(cls, obj, content, mode="w", encoding=None, except_result="valkin_except_result"):
        _rehearse(mode, encoding, "write", content)
        with open(obj, mode, encoding=encoding) as f:
            f.write(content)

    @classmethod
    @_valkin_except("期望写入多行内容到 obj 文件")
    def _path_writelines(cls, obj, lines, mode="w", encoding=None, except_result="valkin_except_result"):
        lines = list(lines)
        _rehearse(mode, encoding, "writelines", lines)
        with open(obj, mode, encoding=encoding) as f:
            f.writelines(lines)

    @classmethod
    @_valkin_except("期望获取 obj 目录下所有文件的路径列表")
    def _path_file_list(cls, obj, except_result="valkin_except_result"):
        files_path_list = []
        if not cls._path_dir(obj):
            return files_path_list
        for root, dirs, files in os.walk(obj, topdown=False):
            for file in files:
                files_path_list.append(os.path.join(root, file))
        return files_path_list

    @classmethod
    @_valkin_except("期望获取 obj 目录下所有文件的字典结构，包含子目录")
    def _path_file_dict(cls, obj, skip_dir=None, skip_file=None, except_result="valkin_except_result"):
        result = {}
        obj = os.path.abspath(obj)
        try:
            st = os.stat(obj)
            root = ((st.st_dev, st.st_ino),)
        except (OSError, ValueError):
            root = ()
        stack = deque([(obj, os.path.basename(obj), root)])
        skip_dir = set(skip_dir or [])
        skip_file = set(skip_file or [])
        while stack:
            current_path, relative_prefix, ancestors = stack.pop()
            files = []
            names = os.listdir(current_path)
            for name in names:
                full_path = os.path.join(current_path, name)
                is_file = os.path.isfile(full_path)
                is_dir = False if is_file else os.path.isdir(full_path)
                if name in skip_file and is_file:
                    continue
                if name in skip_dir and is_dir:
                    continue
                if is_file:
                    files.append(name)
                elif is_dir:
                    # A directory that is one of its own ancestors (a link
                    # back up the tree) is not entered again.
                    try:
                        st = os.stat(full_path)
                        identity = (st.st_dev, st.st_ino)
                    except (OSError, ValueError):
                        identity = None
                    if identity is not None and identity in ancestors:
                        continue
                    chain = ancestors + (identity,) if identity is not None else ancestors
                    stack.append((full_path, os.path.join(relative_prefix, name), chain))
            result[relative_prefix] = files
        return result
