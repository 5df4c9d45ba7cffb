/* A list-and-tree library at work: an AVL tree of keyed nodes from a
 * fixed pool, threaded on a doubly linked list in use order (a cache:
 * a hit moves its node to the front, a full cache drops the back), with
 * recursive walks over the tree. */
#include "suite.h"

enum { kNodes = 4096, kOps = 60000, kRounds = 6 };

struct node {
  struct node *left, *right; /* tree */
  struct node *prev, *next;  /* use order */
  uint32_t key, value;
  int height;
};

static struct node pool[kNodes];
static struct node *free_list, *root;
static struct node head; /* list sentinel: head.next is the most recent */
static uint32_t count;

static int height(const struct node *n) { return n ? n->height : 0; }

static void update(struct node *n) {
  int l = height(n->left), r = height(n->right);
  n->height = (l > r ? l : r) + 1;
}

static struct node *rotate_right(struct node *n) {
  struct node *l = n->left;
  n->left = l->right;
  l->right = n;
  update(n);
  update(l);
  return l;
}

static struct node *rotate_left(struct node *n) {
  struct node *r = n->right;
  n->right = r->left;
  r->left = n;
  update(n);
  update(r);
  return r;
}

static struct node *balance(struct node *n) {
  update(n);
  int b = height(n->left) - height(n->right);
  if (b > 1) {
    if (height(n->left->left) < height(n->left->right)) n->left = rotate_left(n->left);
    return rotate_right(n);
  }
  if (b < -1) {
    if (height(n->right->right) < height(n->right->left)) n->right = rotate_right(n->right);
    return rotate_left(n);
  }
  return n;
}

static struct node *insert(struct node *t, struct node *n) {
  if (!t) return n;
  if (n->key < t->key) t->left = insert(t->left, n);
  else t->right = insert(t->right, n);
  return balance(t);
}

static struct node *take_min(struct node *t, struct node **min) {
  if (!t->left) {
    *min = t;
    return t->right;
  }
  t->left = take_min(t->left, min);
  return balance(t);
}

static struct node *erase(struct node *t, struct node *n) {
  if (!t) return 0;
  if (t == n) {
    if (!t->left) return t->right;
    if (!t->right) return t->left;
    struct node *m;
    struct node *rest = take_min(t->right, &m);
    m->left = t->left;
    m->right = rest;
    return balance(m);
  }
  if (n->key < t->key) t->left = erase(t->left, n); /* keys are unique */
  else t->right = erase(t->right, n);
  return balance(t);
}

static struct node *find(uint32_t key) {
  struct node *t = root;
  while (t && t->key != key) t = key < t->key ? t->left : t->right;
  return t;
}

static void unlink_node(struct node *n) {
  n->prev->next = n->next;
  n->next->prev = n->prev;
}

static void push_front(struct node *n) {
  n->next = head.next;
  n->prev = &head;
  head.next->prev = n;
  head.next = n;
}

static uint32_t walk(const struct node *t, uint32_t depth) {
  if (!t) return depth;
  return mix(walk(t->left, depth + 1), t->value) + walk(t->right, depth + 1);
}

static void reset(void) {
  free_list = 0;
  for (uint32_t i = 0; i < kNodes; ++i) {
    pool[i].right = free_list;
    free_list = &pool[i];
  }
  root = 0;
  head.next = head.prev = &head;
  count = 0;
}

int main(void) {
  uint32_t check = 0, hits = 0;
  rng_seed(11);
  for (uint32_t round = 0; round < kRounds; ++round) {
    reset();
    for (uint32_t op = 0; op < kOps; ++op) {
      /* Keys cluster, so lookups hit often. */
      const uint32_t key = (rng() & 0x3fff) ^ (op & 0x1000 ? 0x55 : 0);
      struct node *n = find(key);
      if (n) {
        ++hits;
        n->value += op;
        unlink_node(n);
        push_front(n);
        continue;
      }
      if (count == kNodes) { /* full: drop the least recently used */
        struct node *old = head.prev;
        unlink_node(old);
        root = erase(root, old);
        old->right = free_list;
        free_list = old;
        --count;
      }
      n = free_list;
      free_list = n->right;
      n->left = n->right = 0;
      n->height = 1;
      n->key = key;
      n->value = op;
      root = insert(root, n);
      push_front(n);
      ++count;
      if ((op & 4095) == 0) check = mix(check, walk(root, 0));
    }
    check = mix(check, walk(root, 0) ^ hits);
  }
  report("tree", check);
  return 0;
}
