#pragma once
// Callbacks the robot library invokes on connection events.

class ArFunctor {
 public:
  virtual ~ArFunctor() = default;
  virtual void invoke() = 0;
};

// Binds a member function without arguments of an object as an ArFunctor.
template <class T>
class ArFunctorC : public ArFunctor {
 public:
  ArFunctorC(T* obj, void (T::*fn)()) : myObj(obj), myFn(fn) {}
  ArFunctorC(T& obj, void (T::*fn)()) : myObj(&obj), myFn(fn) {}
  void invoke() override { (myObj->*myFn)(); }

 private:
  T* myObj;
  void (T::*myFn)();
};

// Where a callback goes in a list: FIRST (value 1) runs before those already there.
struct ArListPos {
  enum Pos { FIRST = 1, LAST = 2 };
};
