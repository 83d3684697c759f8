"""Fits a resample-augmented ridge regression on the diabetes data shipped with scikit-learn."""
from sklearn.datasets import load_diabetes
from sklearn.linear_model import Ridge
from sklearn.model_selection import train_test_split

from duv.augmentation import ResampleAugmentedRegressor

X, y = load_diabetes(return_X_y=True)
X_train, X_test, y_train, y_test = train_test_split(X, y, random_state=0)
model = ResampleAugmentedRegressor(Ridge(alpha=0.1), factor=3.0, random_state=0).fit(X_train, y_train)
print(model)
print(f"trained on {len(X_train)} rows resampled to {int(len(X_train) * 3.0)}; "
      f"test R^2 = {model.score(X_test, y_test):.3f}")
