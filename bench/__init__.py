"""arborvane's benchmark suite against scikit-learn, LightGBM, XGBoost and CatBoost.

Run it from the repository root with `python -m bench` (see bench/run.py).
"""
