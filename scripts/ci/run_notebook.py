"""Execute a notebook with nbclient and fail on the first cell that raises: `python run_notebook.py NOTEBOOK...`."""

import sys

import nbclient
import nbformat


def main(paths: list[str]) -> int:
    for path in paths:
        notebook = nbformat.read(path, as_version=4)
        nbclient.NotebookClient(notebook, timeout=300, kernel_name="python3").execute()
        html = sum("text/html" in output.get("data", {}) for cell in notebook.cells if cell.cell_type == "code"
                   for output in cell.outputs)
        print(f"{path}: {len(notebook.cells)} cells ran, {html} HTML outputs")
        if html == 0:
            print(f"{path}: no cell showed HTML", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
