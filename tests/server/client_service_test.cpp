#include "server/client_service.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace voxapp {
namespace {

using ::testing::ElementsAre;

class ClientServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatcher_ = std::shared_ptr<EventDispatcher>(std::move(*EventDispatcher::create()));
        store_ = *InMemoryClientStore::create();
        service_ = *ClientService::create(dispatcher_, store_);
        dispatcher_->subscribe<ClientCreated>([this](const ClientCreated& e) {
            events_.push_back("created " + std::to_string(e.client_id) + " " + e.user_name + " " +
                              e.password);
        });
        dispatcher_->subscribe<ClientCredentialsChanged>([this](const ClientCredentialsChanged& e) {
            events_.push_back("changed " + std::to_string(e.client_id) + " " + e.user_name + " " +
                              e.password);
        });
        dispatcher_->subscribe<ClientRemoved>([this](const ClientRemoved& e) {
            events_.push_back("removed " + std::to_string(e.client_id) + " " + e.user_name);
        });
    }

    std::shared_ptr<EventDispatcher> dispatcher_;
    std::shared_ptr<InMemoryClientStore> store_;
    std::shared_ptr<ClientService> service_;
    std::vector<std::string> events_;
};

TEST_F(ClientServiceTest, CreateChangeAndRemovePublishEachChangeOnce) {
    ASSERT_TRUE(service_->set_credentials(1234, "user", "pw").ok());
    ASSERT_TRUE(service_->set_credentials(1234, "user", "pw").ok());  // no change
    ASSERT_TRUE(service_->set_credentials(1234, "user", "new").ok());
    EXPECT_EQ(*service_->credentials(1234), (ClientCredentials{1234, "user", "new"}));
    ASSERT_TRUE(service_->remove_client(1234).ok());
    EXPECT_THAT(events_,
                ElementsAre("created 1234 user pw", "changed 1234 user new", "removed 1234 user"));
    auto gone = service_->credentials(1234);
    ASSERT_FALSE(gone.ok());
    EXPECT_EQ(gone.error().message(), "Client not found");
}

TEST_F(ClientServiceTest, EmptyTextsAreRefusedAndNothingIsStoredOrPublished) {
    auto refused = service_->set_credentials(1, "", "pw");
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().message(), "Username and password cannot be empty");
    EXPECT_FALSE(service_->credentials(1).ok());

    ASSERT_TRUE(service_->set_credentials(1, "u", "p").ok());
    EXPECT_FALSE(service_->set_credentials(1, "u", "").ok());
    EXPECT_EQ(service_->credentials(1)->password, "p");
    EXPECT_THAT(events_, ElementsAre("created 1 u p"));
}

TEST_F(ClientServiceTest, RemovingAnUnknownClientFails) {
    auto result = service_->remove_client(77);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().message(), "Client not found");
    EXPECT_TRUE(events_.empty());
}

TEST_F(ClientServiceTest, AccountsAreKeptPerUnit) {
    ASSERT_TRUE(service_->set_credentials(1, "a", "1").ok());
    ASSERT_TRUE(service_->set_credentials(2, "b", "2").ok());
    ASSERT_TRUE(service_->remove_client(1).ok());
    EXPECT_EQ(*service_->credentials(2), (ClientCredentials{2, "b", "2"}));
}

TEST(ClientTest, RemovedClientCannotChangeOrBeRemovedAgain) {
    auto client = *Client::create(5, "u", "p");
    ASSERT_TRUE(client.remove().ok());
    EXPECT_EQ(client.update_credentials("x", "y").error().message(),
              "Cannot update credentials of a removed client");
    EXPECT_EQ(client.remove().error().message(), "Client already removed");
    EXPECT_EQ(client.pending_events().size(), 2u);
}

TEST(InMemoryClientStoreTest, SaveOverwritesAndRemoveIsIdempotent) {
    auto store = *InMemoryClientStore::create();
    ASSERT_TRUE(store->save(Client::restore(9, "a", "b")).ok());
    ASSERT_TRUE(store->save(Client::restore(9, "c", "d")).ok());
    const ClientCredentialsReader& reader = *store;
    EXPECT_EQ(*reader.credentials(9), (ClientCredentials{9, "c", "d"}));
    auto found = store->find(9);
    ASSERT_TRUE(found.ok());
    EXPECT_TRUE(found->pending_events().empty());
    EXPECT_TRUE(store->remove(9).ok());
    EXPECT_TRUE(store->remove(9).ok());
    EXPECT_EQ(store->find(9).error().message(), "Client not found");
}

}  // namespace
}  // namespace voxapp
